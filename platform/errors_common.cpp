#include <cwchar>

#include "platform/errors.h"

namespace plat {
namespace {

constexpr std::uint32_t kFirstWinHttpCode = 12000, kLastWinHttpCode = 12999;
const wchar_t* const kNoText = L"no message text for this code";

// WinHTTP's codes in words, for a winhttp.dll without a message table (Wine's
// has none) and for the stand-in.
std::wstring WinHttpWords(std::uint32_t code) {
    static const struct {
        std::uint32_t code;
        const wchar_t* text;
    } messages[] = {
        {12001, L"No more handles could be generated at this time"},
        {12002, L"The operation timed out"},
        {12004, L"An internal error occurred in the Microsoft Windows HTTP Services"},
        {12005, L"The URL is invalid"},
        {12006, L"The URL does not use a recognized protocol"},
        {12007, L"The server name or address could not be resolved"},
        {12017, L"The operation has been canceled"},
        {12018, L"The supplied handle is the wrong type for the requested operation"},
        {12019, L"The requested operation cannot be carried out because the handle is not in the correct state"},
        {12029, L"A connection with the server could not be established"},
        {12030, L"The connection with the server was terminated abnormally"},
        {12032, L"The connection with the server was reset"},
        {12037, L"The date in the certificate is invalid or has expired"},
        {12038, L"The host name in the certificate is invalid or does not match"},
        {12044, L"A certificate is required to complete client authentication"},
        {12150, L"The requested header could not be located"},
        {12152, L"The server response could not be parsed"},
        {12156, L"The HTTP redirect request failed"},
        {12157, L"An error occurred in the secure channel support"},
        {12169, L"The certificate is invalid"},
        {12170, L"The certificate has been revoked"},
        {12175, L"A security error occurred"},
        {12178, L"No proxy could be located for the specified URL"},
        {12180, L"The proxy auto-configuration file could not be found"},
    };
    for (const auto& m : messages)
        if (m.code == code) return m.text;
    return L"";
}

std::wstring CodeWords(std::uint32_t code) {
    if (code < kFirstWinHttpCode || code > kLastWinHttpCode) return FormatMessageText(code, MessageTable::System);
    std::wstring text = FormatMessageText(code, MessageTable::WinHttp);
    return text.empty() ? WinHttpWords(code) : text;
}

}  // namespace

std::wstring ErrorText(std::uint32_t code) {
    const std::wstring text = CodeWords(code);
    return std::to_wstring(code) + L": " + (text.empty() ? kNoText : text);
}

std::wstring HResultText(HResult hr) {
    const auto value = static_cast<std::uint32_t>(hr);
    wchar_t number[16];
    std::swprintf(number, 16, L"0x%08X", value);
    std::wstring text = FormatMessageText(value, MessageTable::System);
    if (text.empty() && (value & 0xFFFF0000u) == 0x80070000u) text = CodeWords(value & 0xFFFFu);
    return std::wstring(number) + L": " + (text.empty() ? kNoText : text);
}

}  // namespace plat
