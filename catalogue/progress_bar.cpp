#include "catalogue/progress_bar.h"

#include <cwchar>

#include "platform/clock.h"
#include "platform/console.h"

std::wstring ProgressBar::line(std::int64_t now, bool done) const {
    const double elapsed = static_cast<double>(now - startTime) / 1000000000.0;
    const double speed = elapsed > 0 ? static_cast<double>(receivedBytes) / elapsed : 0.0;
    constexpr double kMegabyte = 9.5367431640625e-07;  // 2^-20
    const wchar_t* mark = done ? L" (ok)" : L"    ";
    wchar_t text[512];
    if (totalBytes > 0) {
        const double percent = static_cast<double>(receivedBytes) * 100.0 / static_cast<double>(totalBytes);
        int filled = static_cast<int>(percent / 100.0 * 50.0);
        if (filled > 50) filled = 50;
        std::wstring bar;
        bar.reserve(50);
        for (int i = 0; i < 50; ++i) bar += i < filled ? L'|' : L'.';
        std::swprintf(text, 512, L"\r[%ls] %6.2f%%  %5.1f/%5.1f MB  %4.1f MB/s%ls  [%ls]", bar.c_str(), percent,
                      static_cast<double>(receivedBytes) * kMegabyte, static_cast<double>(totalBytes) * kMegabyte,
                      speed * kMegabyte, mark, title.c_str());
    } else {
        std::swprintf(text, 512, L"\rDescargando\u2026 %5.1f MB  %4.1f MB/s%ls  [%ls]",
                      static_cast<double>(receivedBytes) * kMegabyte, speed * kMegabyte, mark, title.c_str());
    }
    return text;
}

void ProgressBar::print(bool, bool done) const {
    plat::ConsoleWrite(plat::ConsoleStream::Output, line(plat::MonotonicNanoseconds(), done));
}
