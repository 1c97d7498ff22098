// Text conversions shared by the subsystems.
#pragma once
#include <cstdint>
#include <string>

// Removes leading and trailing white space in place; null and empty strings
// are left alone.
void trim_inplace(wchar_t* str);

// Reads hexadecimal language text ("409", " 0x0C0A") as a 16-bit LANGID, the
// way wcstoul(text, nullptr, 16) reads it on Windows (32-bit unsigned long).
std::uint16_t convertToLangID(const wchar_t* langStr);

// The UTF-8 form of wide text; embedded NULs are converted like any other
// character and an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const std::wstring& w);

// The wide form of UTF-8 bytes; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& bytes);

// Decodes UTF-8 up to the first bytes that are not UTF-8 (a stream's
// decoder stops there as at the end of the file); `consumed`, when given,
// receives how many bytes were decoded.
std::wstring DecodeUtf8UntilInvalid(const std::string& bytes, std::size_t* consumed = nullptr);

// The length of wide text in UTF-16 units, on every build.
std::size_t Utf16Length(const std::wstring& text);

// The white-space test of the C runtime's iswspace in the classic locale:
// space, tab, line feed, vertical tab, form feed and carriage return.
bool IsWhiteSpace(wchar_t c);

// _wcsicmp(a, b) == 0 in the classic locale: only ASCII letters match across case.
bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b);
