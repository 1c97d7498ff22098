#include "platform/environment.h"
#include "platform/win32/win32.h"


namespace plat {

std::uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* buffer, std::uint32_t size) {
    return ::ExpandEnvironmentStringsW(source, buffer, size);
}

HResult GetLocalAppDataFolder(wchar_t (&buffer)[kMaxPath]) {
    return ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
}

std::uint32_t GetTempPath(std::uint32_t size, wchar_t* buffer) { return ::GetTempPathW(size, buffer); }

bool SetEnvironmentVariable(const std::wstring& name, const wchar_t* value) {
    return ::SetEnvironmentVariableW(name.c_str(), value) != 0;
}

std::uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }

namespace {
std::uint16_t overriddenMachine = 0;
}  // namespace

void OverrideNativeMachineForTesting(std::uint16_t machine) { overriddenMachine = machine; }

std::uint16_t NativeMachine() {
    if (overriddenMachine != 0) return overriddenMachine;
    // IsWow64Process2 (Windows 10 1511 and later) also tells ARM64 from x64
    // for a process under emulation; GetNativeSystemInfo is the fallback.
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
        const auto call = reinterpret_cast<IsWow64Process2Fn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process2")));
        USHORT process = 0, native = 0;
        if (call != nullptr && call(::GetCurrentProcess(), &process, &native)) return native;
    }
    SYSTEM_INFO info;
    ::GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return kImageFileMachineAmd64;
        case 12: return kImageFileMachineArm64;  // PROCESSOR_ARCHITECTURE_ARM64
        case PROCESSOR_ARCHITECTURE_INTEL: return kImageFileMachineI386;
        default: return 0;
    }
}

}  // namespace plat
