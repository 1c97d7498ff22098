// Win32 vocabulary shared by every platform service: error codes, HRESULTs
// and the thread's last-error value. Names carry a k prefix so that they
// never collide with the macros of <windows.h> in the Win32 implementations.
#pragma once
#include <cstdint>

namespace plat {

using HResult = std::int32_t;

// Win32 error codes (GetLastError, registry results).
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorOutOfMemory = 14;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorNoMoreItems = 259;

// HRESULTs.
constexpr HResult kSOk = 0;
constexpr HResult kSFalse = 1;
constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);

constexpr bool Failed(HResult hr) { return hr < 0; }
constexpr bool Succeeded(HResult hr) { return hr >= 0; }
constexpr HResult HResultFromWin32(std::uint32_t code) {
    return code == 0 ? kSOk : static_cast<HResult>((code & 0xFFFFu) | 0x80070000u);
}

constexpr std::uint32_t kMaxPath = 260;

// The calling thread's last-error value.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

}  // namespace plat
