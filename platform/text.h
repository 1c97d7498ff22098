// UTF-8 conversions of the platform (WideCharToMultiByte and
// MultiByteToWideChar with CP_UTF8 and flags 0).
#pragma once
#include <string>

namespace plat {

// The UTF-8 form of `count` wide units; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8Bytes(const wchar_t* text, std::size_t count);

// The wide form of UTF-8 bytes; an invalid sequence becomes U+FFFD.
std::wstring Utf8BytesToWide(const char* bytes, std::size_t count);

inline std::string WideToUtf8Bytes(const std::wstring& text) { return WideToUtf8Bytes(text.data(), text.size()); }
inline std::wstring Utf8BytesToWide(const std::string& bytes) { return Utf8BytesToWide(bytes.data(), bytes.size()); }

}  // namespace plat
