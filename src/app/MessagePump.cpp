#include "app/MessagePump.h"

#include "platform/TickClock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>

void DispatchPendingMessages()
{
    QCoreApplication::processEvents();
}

void DelayDispatching(std::uint32_t ms, QEventLoop::ProcessEventsFlags flags)
{
    // A timer wakes the wait at the deadline, so the thread sleeps between messages.
    const QDeadlineTimer deadline(
        std::chrono::duration_cast<std::chrono::nanoseconds>(TickClock::RealDuration(ms)),
        Qt::PreciseTimer);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive())
            wake.start(std::max<qint64>(1, deadline.remainingTime()));
        QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
    }
}
