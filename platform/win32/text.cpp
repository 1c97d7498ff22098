#include <climits>

#include "platform/text.h"
#include "platform/win32/win32.h"

namespace plat {

std::string WideToUtf8Bytes(const wchar_t* text, std::size_t count) {
    if (count == 0 || count > INT_MAX) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Utf8BytesToWide(const char* bytes, std::size_t count) {
    if (count == 0 || count > INT_MAX) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), out.data(), n);
    return out;
}

}  // namespace plat
