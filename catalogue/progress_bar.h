// The console line of a running download.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct ProgressBar {
    // How the line ends: still running, finished whole, or failed.
    enum class End { Running, Ok, Failed };

    // At most this many redraws a second between the first and the final line:
    // an installer's captured output is not flooded, and a pipe nobody reads
    // fills late.
    static constexpr std::int64_t kRedrawInterval = 100000000;  // nanoseconds

    std::uint64_t totalBytes = 0;     // 0: no size announced
    std::uint64_t receivedBytes = 0;
    std::wstring title;
    std::int64_t startTime = 0;       // monotonic clock, nanoseconds
    std::int64_t lastDrawn = 0;       // when the line was last drawn

    // Draws the line for the current state on standard output, over the last
    // one, when a draw is due.
    void print(bool first, End end);
    // Whether the line is to be drawn at monotonic time `now` (the first and
    // the final line always are, others once per kRedrawInterval); when it is,
    // it counts as drawn.
    bool due(std::int64_t now, bool first, End end);
    // The line as print draws it at the monotonic time `now`, on a console
    // `columns` wide (0: no console, the whole line). A line that would not fit
    // is shortened so that the carriage return redraws it in place: first the
    // label goes, then the bar, then what still does not fit.
    std::wstring line(std::int64_t now, End end, std::size_t columns = 0) const;
};
