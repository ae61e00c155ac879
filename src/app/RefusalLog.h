#pragma once

#include "log/BurstCount.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>

// The log's account of connections that the endpoint refused (programs of another user, or of
// a user that could not be found). A program that connects in a loop must not flood the log:
// the first refusal of a user gets its line at once; further ones within 10 s are counted, and
// one line says how many there were once the user has been quiet for 10 s, or every 10 s while
// the burst lasts. Times are the tick clock's.
class TRefusalLog : public QObject
{
    Q_OBJECT

public:
    using TLogWriter = std::function<void(const QString &message)>;

    explicit TRefusalLog(TLogWriter log, QObject *parent = nullptr);

    // A refused connection of the user (-1: unknown).
    void Refused(int uid);

    // The 10 s of a burst, in tick-clock milliseconds.
    static constexpr std::uint32_t BurstMs = 10000;

private:
    void Tick();
    void WriteCount(int uid, int count);

    TLogWriter FLog;
    // A machine has few users; beyond 1024 of them in one burst, the rest count as unknown.
    TBurstCount<int> FBursts{BurstMs, 1024, -1};
    QTimer FTicker;
};
