#pragma once

#include <QByteArray>

#include <cstdlib>

// A promise of the code under test that the input broke: the fuzzer keeps the input and stops.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Whether the bytes hold the word (upper-case ASCII) in any letter case: the plain reading of a
// modem's words that the readers under test must agree with.
inline bool HoldsWordAnyCase(const QByteArray &bytes, const char *word)
{
    QByteArray upper = bytes;
    for (char &c : upper) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return upper.contains(word);
}
