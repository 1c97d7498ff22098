#include "catalogue/progress_bar.h"

#include <algorithm>
#include <cwchar>

#include "platform/clock.h"
#include "platform/console.h"

std::wstring ProgressBar::line(std::int64_t now, End end, std::size_t columns) const {
    const double elapsed = static_cast<double>(now - startTime) / 1000000000.0;
    const double speed = elapsed > 0 ? static_cast<double>(receivedBytes) / elapsed : 0.0;
    constexpr double kMegabyte = 9.5367431640625e-07;  // 2^-20
    // The failure mark is as wide as " (ok)", so both replace the running mark alike.
    const wchar_t* mark = end == End::Ok ? L" (ok)" : end == End::Failed ? L" FAIL" : L"    ";
    wchar_t text[512];
    std::wstring bar;
    if (totalBytes > 0) {
        const double percent = static_cast<double>(receivedBytes) * 100.0 / static_cast<double>(totalBytes);
        // Capped before the conversion: far beyond the total the cell count would not fit an int.
        const int filled = static_cast<int>(std::min(percent / 100.0 * 50.0, 50.0));
        bar.reserve(53);
        bar += L'[';
        for (int i = 0; i < 50; ++i) bar += i < filled ? L'|' : L'.';
        bar += L"] ";
        std::swprintf(text, 512, L"%6.2f%%  %5.1f/%5.1f MB  %4.1f MB/s%ls", percent,
                      static_cast<double>(receivedBytes) * kMegabyte, static_cast<double>(totalBytes) * kMegabyte,
                      speed * kMegabyte, mark);
    } else {
        std::swprintf(text, 512, L"Descargando\u2026 %5.1f MB  %4.1f MB/s%ls",
                      static_cast<double>(receivedBytes) * kMegabyte, speed * kMegabyte, mark);
    }
    const std::wstring label = L"  [" + title + L"]";
    std::wstring shown = bar + text + label;
    // One cell stays free: a line that fills the last column moves the cursor
    // to the next line on a Windows console, and the redraw would start there.
    if (columns > 0 && shown.size() >= columns) {
        shown = bar + text;
        if (shown.size() >= columns) shown = text;
        if (shown.size() >= columns) shown.resize(columns - 1);
    }
    return L"\r" + shown;
}

bool ProgressBar::due(std::int64_t now, bool first, End end) {
    if (!first && end == End::Running && now - lastDrawn < kRedrawInterval) return false;
    lastDrawn = now;
    return true;
}

void ProgressBar::print(bool first, End end) {
    const std::int64_t now = plat::MonotonicNanoseconds();
    if (!due(now, first, end)) return;
    plat::ConsoleWrite(plat::ConsoleStream::Output, line(now, end, plat::ConsoleColumns(plat::ConsoleStream::Output)));
}
