#pragma once

#include <chrono>
#include <cstdint>

// The system's millisecond tick count, the one clock of every time limit and wait of the program:
// the identification's 10 s, the dialer's pauses and reply time-outs, the bridge loop's Delay.
// Time limits are measured as unsigned 32-bit differences of two readings, so they stay right
// when the count wraps around. Tests run the clock faster to get through long waits (15 s of
// listening, 45 s of dialling, 10 s of a silent device); the program always runs it at real speed.
namespace TickClock
{

// The tick count in milliseconds, wrapping around at 2^32.
std::uint32_t Now();
// Milliseconds passed since an earlier reading of Now().
inline std::uint32_t Since(std::uint32_t start)
{
    return Now() - start;
}

// How many times faster than real time the clock runs; 1 unless a test changes it.
void SetSpeed(double factor);
double Speed();

// The real time that the given milliseconds of the clock take.
std::chrono::microseconds RealDuration(std::uint32_t ms);
// Sleeps for the given milliseconds of the clock.
void Sleep(std::uint32_t ms);

} // namespace TickClock
