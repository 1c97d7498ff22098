#include "support/text.h"

#include <cwchar>

#include "platform/text.h"

bool IsWhiteSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

void trim_inplace(wchar_t* str) {
    if (str == nullptr || str[0] == 0) return;
    wchar_t* start = str;
    while (*start != 0 && IsWhiteSpace(*start)) ++start;
    wchar_t* end = start + std::wcslen(start);
    while (end > start && IsWhiteSpace(end[-1])) --end;
    const std::size_t length = static_cast<std::size_t>(end - start);
    std::wmemmove(str, start, length);
    str[length] = 0;
}

std::uint16_t convertToLangID(const wchar_t* langStr) {
    // wcstoul base 16 with Windows' 32-bit unsigned long: leading white space,
    // an optional sign, an optional 0x, digits up to the first other
    // character; overflow saturates, a minus sign negates.
    if (langStr == nullptr) return 0;
    const wchar_t* p = langStr;
    while (*p && IsWhiteSpace(*p)) ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    auto digit = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    };
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && digit(p[2]) >= 0) p += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; digit(*p) >= 0; ++p) {
        value = value * 16 + static_cast<unsigned>(digit(*p));
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0xFFFFFFFFull;
        }
    }
    std::uint32_t result = overflow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
    if (negative && !overflow) result = 0u - result;
    return static_cast<std::uint16_t>(result & 0xFFFFu);
}

std::string WideToUtf8(const std::wstring& w) {
    if (w.empty()) return {};
    return plat::WideToUtf8Bytes(w);
}

std::wstring Utf8ToWide(const std::string& bytes) {
    if (bytes.empty()) return {};
    return plat::Utf8BytesToWide(bytes);
}

std::wstring ShownText(const std::wstring& text) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring shown;
    shown.reserve(text.size());
    for (const wchar_t ch : text) {
        const auto c = static_cast<std::uint32_t>(ch);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            shown += L"\\x";
            shown += digits[c >> 4];
            shown += digits[c & 15];
        } else if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
            shown += L"\\u";
            for (int shift = 12; shift >= 0; shift -= 4) shown += digits[(c >> shift) & 15];
        } else {
            shown += ch;
        }
    }
    return shown;
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::wstring DecodeUtf8UntilInvalid(const std::string& bytes, std::size_t* consumed) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int extra = 0;
        char32_t cp = 0;
        if (b < 0x80) cp = b;
        else if (b >= 0xC2 && b <= 0xDF) extra = 1, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF) extra = 2, cp = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4) extra = 3, cp = b & 0x07;
        else break;
        if (i + static_cast<std::size_t>(extra) >= bytes.size() && extra > 0) break;
        bool valid = true;
        for (int k = 1; k <= extra && valid; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            valid = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid || (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            break;
        if (cp >= 0x10000 && sizeof(wchar_t) == 2) {
            out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    if (consumed != nullptr) *consumed = i;
    return out;
}

std::size_t Utf16Length(const std::wstring& text) {
    std::size_t units = text.size();
    if constexpr (sizeof(wchar_t) > 2)
        for (wchar_t c : text)
            if ((static_cast<std::uint32_t>(c) >> 16) != 0) ++units;
    return units;
}
