#pragma once
// Monotonic milliseconds, the time base of every delay in the tools.
#include <chrono>
#include <cstdint>

namespace tools
{
inline int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace tools
