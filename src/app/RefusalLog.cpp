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
    const std::uint32_t now = TickClock::Now();
    const auto found = FBursts.find(uid);
    if (found != FBursts.end()) {
        ++found->second.Counted;
        found->second.Last = now;
        return;
    }
    FLog(uid >= 0 ? QStringLiteral("Отклонено подключение к серверу TCP программы другого "
                                   "пользователя (uid %1)")
                        .arg(uid)
                  : QStringLiteral("Отклонено подключение к серверу TCP: не удалось определить, "
                                   "чья это программа"));
    FBursts[uid] = TBurst{now, now, 0};
    if (!FTicker.isActive()) {
        FTicker.start(int(
            std::chrono::duration_cast<std::chrono::milliseconds>(TickClock::RealDuration(TickMs))
                .count()));
    }
}

void TRefusalLog::Tick()
{
    const std::uint32_t now = TickClock::Now();
    for (auto it = FBursts.begin(); it != FBursts.end();) {
        TBurst &burst = it->second;
        const bool over = now - burst.Last >= BurstMs;
        if ((over || now - burst.Since >= BurstMs) && burst.Counted > 0) {
            WriteCount(it->first, burst.Counted);
            burst.Counted = 0;
            burst.Since = now;
        }
        it = over ? FBursts.erase(it) : std::next(it);
    }
    if (FBursts.empty())
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
