#include "platform/text.h"

#include <cstdint>

namespace plat {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendWide(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(cp);
}

}  // namespace

std::string WideToUtf8Bytes(const wchar_t* text, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count) {
            char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
        AppendUtf8(out, cp);
    }
    return out;
}

std::wstring Utf8BytesToWide(const char* bytes, std::size_t count) {
    std::wstring out;
    out.reserve(count);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < count) {
        unsigned char b = p[i];
        int extra = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07;
        } else {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        std::size_t j = 1;
        bool ok = true;
        for (; j <= static_cast<std::size_t>(extra); ++j) {
            if (i + j >= count || (p[i + j] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (p[i + j] & 0x3F);
        }
        if (ok && ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                   (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))) {
            ok = false;
            j = 1;
        }
        if (!ok) {
            out += L'\xFFFD';
            i += j;  // the valid prefix of a cut sequence is one error
            continue;
        }
        AppendWide(out, cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

}  // namespace plat
