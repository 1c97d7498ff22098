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

// Text as this program shows it to a person, in its log, on the console and in
// its reports: a control character (C0, DEL and C1: U+0000-U+001F,
// U+007F-U+009F) as "\xHH", a bidirectional embedding, override or isolate
// (U+202A-U+202E, U+2066-U+2069) as "\uHHHH", hexadecimal digits in upper
// case; everything else as it is. Names and values come from keys and files
// anyone may write: shown so, they can neither act on a terminal, nor break or
// forge a line, nor show their characters in another order than they have.
std::wstring ShownText(const std::wstring& text);

// _wcsicmp(a, b) == 0 in the classic locale: only ASCII letters match across case.
bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b);
