#pragma once
// The requests the setup stand-in sends, each with the one reply a sound device and relay give.
#include "common/Frame.h"

#include <cstdint>
#include <random>
#include <string>

struct Exchange {
    std::string kind; // for the transcript
    tools::Frame request;
    tools::Frame expected;
};

class Plan
{
public:
    explicit Plan(uint32_t seed) : m_random(seed) {}
    // The n-th exchange (0-based); call in order, reads follow the writes they check.
    Exchange make(uint64_t n);
    // One bulk block of the throughput run.
    Exchange sink(uint64_t n, size_t size);
    // 256 bytes holding every byte value once, in order; it holds none of the modem texts.
    static std::string allByteValues();

private:
    Exchange draw(uint64_t n);
    std::string randomBytes(size_t size);
    std::mt19937 m_random;
    std::string m_lastWritten;
    uint16_t m_lastParam = 0;
};
