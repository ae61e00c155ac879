#pragma once

#include <chrono>
#include <cstdint>

// The millisecond tick count. Time limits are measured as unsigned 32-bit differences of two
// readings, so they stay right when the counter wraps around.
inline std::uint32_t GetTickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline std::uint32_t TicksSince(std::uint32_t start)
{
    return GetTickCount() - start;
}
