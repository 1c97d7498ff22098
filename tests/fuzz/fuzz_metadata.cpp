// metaData.txt, as the installation run reads it: any bytes, never a crash,
// every field within its 254 characters and free of control characters, and
// a refused file yields no field at all.
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
    plat::PlainFile file;
    if (file.Open(path, plat::PlainFile::Access::Read) != plat::PlainFile::Opened::File) std::abort();
    VoiceMetadata m {};
    const bool read = ReadVoiceMetadata(file, path, m);
    for (const wchar_t* field : {m.TokenKeyName, m.LangIndependentName, m.Langid, m.LangDependentName, m.Gender, m.Name,
                                 m.Language, m.Age, m.Vendor, m.SimpleName}) {
        if (std::wcslen(field) > 254 || (!read && field[0] != 0)) std::abort();
        for (const wchar_t* c = field; *c; ++c)
            if (*c < 0x20 || (*c >= 0x7F && *c <= 0x9F)) std::abort();
    }
    return 0;
}
