#include "platform/environment.h"
#include "platform/win32.h"


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

}  // namespace plat
