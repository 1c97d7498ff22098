#include "platform/testing.h"
#include "platform/win32.h"

namespace plat::testing {

void PrepareTestMachine() {}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsStandIn() { return false; }

}  // namespace plat::testing

namespace plat::testing {

void* HoldFileOpen(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool CreateLink(const std::wstring& link, const std::wstring& target, bool directory) {
    const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // ..._ALLOW_UNPRIVILEGED_CREATE
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != 0;
}

void ReleaseHeldFile(void* hold) {
    if (hold != nullptr) ::CloseHandle(hold);
}

}  // namespace plat::testing
