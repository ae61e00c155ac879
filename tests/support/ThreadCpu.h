#pragma once

#include <QElapsedTimer>
#include <QString>

#include <time.h>

// What a piece of work on the calling thread cost it in CPU against the wall time it took: a
// wait that sleeps costs a small part of its time, one that spins costs all of it (the thread's
// own CPU time does not grow with the machine's load).
struct TThreadCpu {
    double CpuSeconds = 0;
    double WallSeconds = 0;

    template <typename TWork> static TThreadCpu Of(TWork &&work)
    {
        timespec before{};
        timespec after{};
        QElapsedTimer wall;
        wall.start();
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        work();
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
        return {double(after.tv_sec - before.tv_sec) + double(after.tv_nsec - before.tv_nsec) / 1e9,
                double(wall.nsecsElapsed()) / 1e9};
    }

    // Under a quarter of the wall time: the thread mostly slept.
    bool MostlyAsleep() const { return CpuSeconds < 0.25 * WallSeconds; }
    QString Text() const
    {
        return QStringLiteral("%1 s of CPU in %2 s").arg(CpuSeconds).arg(WallSeconds);
    }
};
