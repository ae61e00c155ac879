#include "app/RefusalLog.h"

#include "platform/TickClock.h"

#include <chrono>

namespace
{

// How often open bursts are looked at: a count is written at most this late.
constexpr std::uint32_t TickMs = 1000;

} // namespace

TRefusalLog::TRefusalLog(TLogWriter log, QObject *parent) : QObject(parent), FLog(std::move(log))
{
    connect(&FTicker, &QTimer::timeout, this, &TRefusalLog::Tick);
}

void TRefusalLog::Refused(int uid)
{
    const auto [counted, first] = FBursts.Add(uid, TickClock::Now());
    if (!first)
        return;
    FLog(counted >= 0
             ? QStringLiteral("Отклонено подключение к серверу TCP программы другого "
                              "пользователя (uid %1)")
                   .arg(counted)
             : QStringLiteral("Отклонено подключение к серверу TCP: не удалось определить, "
                              "чья это программа"));
    if (!FTicker.isActive()) {
        FTicker.start(int(
            std::chrono::duration_cast<std::chrono::milliseconds>(TickClock::RealDuration(TickMs))
                .count()));
    }
}

void TRefusalLog::Tick()
{
    for (const auto &[uid, count] : FBursts.Due(TickClock::Now()))
        WriteCount(uid, count);
    if (FBursts.Empty())
        FTicker.stop();
}

void TRefusalLog::WriteCount(int uid, int count)
{
    FLog(uid >= 0 ? QStringLiteral("Отклонено ещё подключений к серверу TCP программы другого "
                                   "пользователя (uid %1): %2")
                        .arg(uid)
                        .arg(count)
                  : QStringLiteral("Отклонено ещё подключений к серверу TCP, чья программа не "
                                   "определена: %1")
                        .arg(count));
}
