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
