#pragma once

#include <chrono>
#include <cstdint>

// The dialer's time: its pauses and its reply time-outs. The dialogue's phases are long (15 s of
// listening, up to 45 s of dialling), so tests run this clock faster; the program always runs it
// at real speed, and the values in the dialogue are the real ones.
namespace DialerClock
{

// How many times faster than real time the clock runs; 1 in the program.
void SetSpeed(double factor);
double Speed();

// Milliseconds of dialer time, as an unsigned 32-bit count that wraps around.
std::uint32_t Ticks();
// The real time that the given dialer milliseconds take.
std::chrono::microseconds RealDuration(std::uint32_t ms);
// Sleeps for the given dialer milliseconds.
void Pause(std::uint32_t ms);

} // namespace DialerClock
