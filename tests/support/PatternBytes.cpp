#include "support/PatternBytes.h"

QByteArray PatternBytes(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (qsizetype i = 0; i < size; ++i) {
        state = state * 16777619u + quint32(i);
        bytes[i] = char(state >> 24);
    }
    return bytes;
}
