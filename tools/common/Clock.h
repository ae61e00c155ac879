#pragma once
// Monotonic milliseconds, the time base of every delay in the tools.
#include <cstdint>
#include <ctime>

namespace tools
{
inline int64_t nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
} // namespace tools
