#include "platform/errors.h"
#include "platform/win32/win32.h"

namespace plat {

std::wstring FormatMessageText(std::uint32_t id, MessageTable table) {
    HMODULE module = nullptr;
    if (table == MessageTable::WinHttp) {
        // Loaded wherever its codes can arise: the program calls WinHTTP.
        module = ::GetModuleHandleW(L"winhttp.dll");
        if (module == nullptr) return L"";
    }
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    const DWORD length = ::FormatMessageW(flags, module, id, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return L"";
    std::wstring message(text, length);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    return message;
}

}  // namespace plat
