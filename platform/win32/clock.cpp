#include "platform/clock.h"
#include "platform/win32/win32.h"

#include <ctime>

namespace plat {

LocalTime GetLocalTimeNow() {
    const __time64_t now = ::_time64(nullptr);
    std::tm tm {};
    ::_localtime64_s(&tm, &now);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t MonotonicNanoseconds() {
    LARGE_INTEGER counter {}, frequency {};
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    const std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
    const std::int64_t rest = counter.QuadPart % frequency.QuadPart;
    return seconds * 1000000000 + rest * 1000000000 / frequency.QuadPart;
}

}  // namespace plat
