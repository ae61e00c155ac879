#include "platform/TickClock.h"

#include <atomic>
#include <thread>

namespace
{
std::atomic<double> speed{1.0};
}

namespace TickClock
{

std::uint32_t Now()
{
    using namespace std::chrono;
    const auto real = duration_cast<microseconds>(steady_clock::now().time_since_epoch());
    const double scaled = static_cast<double>(real.count()) / 1000.0 * speed;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(scaled));
}

void SetSpeed(double factor)
{
    speed = factor > 0 ? factor : 1.0;
}

double Speed()
{
    return speed;
}

std::chrono::microseconds RealDuration(std::uint32_t ms)
{
    return std::chrono::microseconds(static_cast<long long>(ms * 1000.0 / speed));
}

void Sleep(std::uint32_t ms)
{
    std::this_thread::sleep_for(RealDuration(ms));
}

} // namespace TickClock
