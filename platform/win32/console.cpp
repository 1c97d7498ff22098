#include "platform/console.h"
#include "platform/text.h"
#include "platform/win32/win32.h"

namespace plat {

void ConsoleWrite(ConsoleStream stream, const std::wstring& text) {
    HANDLE h = ::GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (::GetConsoleMode(h, &mode)) {
        // A real console shows every character through the wide API.
        DWORD written = 0;
        ::WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // A pipe or a file: UTF-8, with CR LF line ends as a text-mode stream writes them.
    std::wstring translated;
    translated.reserve(text.size() + 8);
    for (wchar_t c : text) {
        if (c == L'\n') translated += L'\r';
        translated += c;
    }
    const std::string bytes = WideToUtf8Bytes(translated.data(), translated.size());
    DWORD written = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::size_t ConsoleColumns(ConsoleStream stream) {
    HANDLE h = ::GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) return 0;
    // Lines wrap at the width of the screen buffer, not of the window.
    return info.dwSize.X > 0 ? static_cast<std::size_t>(info.dwSize.X) : 0;
}

}  // namespace plat
