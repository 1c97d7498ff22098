// voice.txt, as the uninstallation reads it: any bytes, never a crash, and a
// name without surrounding white space.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/testing.h"
#include "support/text.h"
#include "uninstall/token_removal.h"
#include "voices/voice_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring path = [] {
        plat::testing::PrepareTestMachine();
        wchar_t temp[plat::kMaxPath] = {};
        plat::GetTempPath(plat::kMaxPath, temp);
        return std::wstring(temp) + L"fuzz-voice.txt";
    }();
    if (!plat::WriteWholeFile(path, std::string(reinterpret_cast<const char*>(data), size))) std::abort();
    const std::wstring name = ReadTokenKeyNameFromVoiceTxt(path);
    if (!name.empty() && (IsWhiteSpace(name.front()) || IsWhiteSpace(name.back()))) std::abort();
    return 0;
}
