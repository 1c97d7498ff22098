// metaData.txt, as the installation run reads it: any bytes, never a crash,
// and every field within its 254 characters.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/testing.h"
#include "voices/voice_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring path = [] {
        plat::testing::PrepareTestMachine();
        wchar_t temp[plat::kMaxPath] = {};
        plat::GetTempPath(plat::kMaxPath, temp);
        return std::wstring(temp) + L"fuzz-metaData.txt";
    }();
    if (!plat::WriteWholeFile(path, std::string(reinterpret_cast<const char*>(data), size))) std::abort();
    VoiceMetadata m {};
    if (!ReadVoiceMetadata(path, m)) std::abort();
    for (const wchar_t* field : {m.TokenKeyName, m.LangIndependentName, m.Langid, m.LangDependentName, m.Gender, m.Name,
                                 m.Language, m.Age, m.Vendor, m.SimpleName})
        if (std::wcslen(field) > 254) std::abort();
    return 0;
}
