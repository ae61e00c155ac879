#pragma once

#include <cstdlib>

// A promise of the code under test that the input broke: the fuzzer keeps the input and stops.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
