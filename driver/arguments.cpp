#include "driver/arguments.h"

#include <cwchar>
#include <vector>

#include "platform/environment.h"
#include "support/text.h"

namespace {
const std::wstring kPasswordPrefix = L"/password=";
}

bool IsUninstallArgument(const std::wstring& argument) {
    return EqualsIgnoringCase(argument, L"/uninstall") || EqualsIgnoringCase(argument, L"--unregister-all");
}

bool IsVerifyArgument(const std::wstring& argument) {
    return EqualsIgnoringCase(argument, L"/verify") || EqualsIgnoringCase(argument, L"--verify");
}

bool WantsJson(int argc, wchar_t* argv[]) {
    for (int i = 2; i < argc; ++i)
        if (EqualsIgnoringCase(argv[i], L"/json") || EqualsIgnoringCase(argv[i], L"--json")) return true;
    return false;
}

bool IsSearchVoicesArgument(const std::wstring& argument) { return EqualsIgnoringCase(argument, L"/searchvoices"); }

bool IsHelpArgument(const std::wstring& argument) {
    return argument == L"/?" || EqualsIgnoringCase(argument, L"-h") || EqualsIgnoringCase(argument, L"--help");
}

bool IsVersionArgument(const std::wstring& argument) { return EqualsIgnoringCase(argument, L"--version"); }

std::wstring UsageText(const std::wstring& version) {
    return L"Pendrel " + version + L": registers the Quelto engine's voices as SAPI 5 voice tokens.\n"
           L"\n"
           L"Usage:\n"
           L"  pendrel.exe\n"
           L"      Installation run: registers every voice folder found under\n"
           L"      %ProgramFiles%\\Mirelka\\ZunSapi64\\data_quelto\\voices.\n"
           L"  pendrel.exe /uninstall      (or --unregister-all, in any position)\n"
           L"      Uninstallation run: removes the engine's voice tokens and its folder.\n"
           L"  pendrel.exe /searchvoices [/username=NAME] [/password=SECRET] [/out=PATH]\n"
           L"      Downloads the voice catalogue to PATH (default %TEMP%\\quelto_voices.json).\n"
           L"      /searchvoices counts only as the first argument.\n"
           L"  pendrel.exe /verify            (or --verify, as the first argument)\n"
           L"      Checks, read-only, that every voice is fully registered.\n"
           L"  pendrel.exe /? | -h | --help    this text\n"
           L"  pendrel.exe --version           the program's name and version\n"
           L"\n"
           L"Arguments ignore letter case, except the /username=, /password= and /out=\n"
           L"prefixes. An argument the program does not know is ignored: a command line\n"
           L"without a mode is an installation run.\n"
           L"\n"
           L"Exit codes: the installation and uninstallation runs always exit 0; the\n"
           L"catalogue search exits 0 when the catalogue was saved and 1 when it was not;\n"
           L"/verify exits 0 when all is well, 1 when something is wrong, 2 when it could\n"
           L"not check.\n"
           L"\n"
           L"Log: %LOCALAPPDATA%\\Mirelka\\ZunSapi64\\log_zunsapi.txt; every run appends to it.\n";
}

std::wstring ShowableArgument(const std::wstring& argument) {
    if (argument.size() <= kPasswordPrefix.size() ||
        !EqualsIgnoringCase(argument.substr(0, kPasswordPrefix.size()), kPasswordPrefix))
        return argument;
    return argument.substr(0, kPasswordPrefix.size()) + L"********";
}

CatalogueOptions ParseCatalogueOptions(int argc, const wchar_t* const argv[]) {
    CatalogueOptions options;
    for (int i = 2; i < argc; ++i) {
        const wchar_t* a = argv[i];
        if (std::wcsncmp(a, L"/username=", 10) == 0) options.username = a + 10;
        else if (std::wcsncmp(a, L"/password=", 10) == 0) options.password = a + 10;
        else if (std::wcsncmp(a, L"/out=", 5) == 0) options.outPath = a + 5;
    }
    return options;
}

std::wstring ExpandOutputPath(const std::wstring& outPath) {
    constexpr std::uint32_t kSize = 4096;
    std::vector<wchar_t> buffer(kSize, L'\0');
    const std::uint32_t n = plat::ExpandEnvironmentStrings(outPath.c_str(), buffer.data(), kSize);
    if (n == 0 || n >= kSize) return outPath;
    return buffer.data();
}
