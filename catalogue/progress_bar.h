// The console line of a running download.
#pragma once
#include <cstdint>
#include <string>

struct ProgressBar {
    std::uint64_t totalBytes = 0;     // 0: no size announced
    std::uint64_t receivedBytes = 0;
    std::wstring title;
    std::int64_t startTime = 0;       // monotonic clock, nanoseconds

    // Draws the line for the current state on standard output, over the last one.
    void print(bool first, bool done) const;
    // The line as print draws it at the monotonic time `now`.
    std::wstring line(std::int64_t now, bool done) const;
};
