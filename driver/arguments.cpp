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

bool IsSearchVoicesArgument(const std::wstring& argument) { return EqualsIgnoringCase(argument, L"/searchvoices"); }

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
