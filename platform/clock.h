// Wall-clock time for the log and a monotonic clock for durations.
#pragma once
#include <cstdint>

namespace plat {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The current local time (_time64 + _localtime64).
LocalTime GetLocalTimeNow();

// Nanoseconds of a monotonic clock (the performance counter on Windows).
std::int64_t MonotonicNanoseconds();

}  // namespace plat
