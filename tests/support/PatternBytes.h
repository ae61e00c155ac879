#pragma once

#include <QByteArray>

// A recognisable byte stream of every byte value: a position-dependent pattern, different for
// every seed, so that a byte that is lost, doubled, reordered or taken from the other direction
// shows.
QByteArray PatternBytes(qsizetype size, int seed = 0);
