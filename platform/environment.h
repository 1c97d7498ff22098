// The process environment and the user's well-known folders.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace plat {

// ExpandEnvironmentStringsW: replaces every %NAME% of a defined variable with
// its value; an undefined reference stays as written. Returns the number of
// wide characters the expansion needs including its terminating NUL (written
// when it fits in `size`), or 0 on failure. A too small buffer receives
// nothing useful and the required size is returned.
std::uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* buffer, std::uint32_t size);

// SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer):
// the user's local application data folder, without a trailing backslash, in a
// buffer of kMaxPath characters. A negative result is a failure.
HResult GetLocalAppDataFolder(wchar_t (&buffer)[kMaxPath]);

// GetTempPathW: the temporary folder with a trailing backslash. Returns its
// length without the NUL, the size needed (with the NUL) when the buffer is too
// small, or 0 on failure.
std::uint32_t GetTempPath(std::uint32_t size, wchar_t* buffer);

// SetEnvironmentVariableW for the current process; a null value removes the
// variable. Used by tests to reproduce a machine with a variable missing.
bool SetEnvironmentVariable(const std::wstring& name, const wchar_t* value);

// GetCurrentProcessId: the number that tells this run from others in a shared log.
std::uint32_t GetCurrentProcessId();

// IMAGE_FILE_MACHINE_* values, as a PE header and the system name them.
constexpr std::uint16_t kImageFileMachineI386 = 0x014C, kImageFileMachineAmd64 = 0x8664,
                        kImageFileMachineArm64 = 0xAA64;

// The machine's own architecture (IsWow64Process2's native machine, or
// GetNativeSystemInfo's): on an ARM64 machine IMAGE_FILE_MACHINE_ARM64 even
// for this x64 program, which runs emulated there. The stand-in models an x64
// machine.
std::uint16_t NativeMachine();

// Makes NativeMachine answer `machine` (0: the machine's own again) for the
// rest of the process. Only the test builds call it (from
// PENDREL_TEST_NATIVE_MACHINE), so that both builds can show an ARM64 machine;
// the released program has no way to reach it.
void OverrideNativeMachineForTesting(std::uint16_t machine);

}  // namespace plat
