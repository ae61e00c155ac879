#pragma once

#include <QEventLoop>

#include <cstdint>

// The window thread's own message dispatching, from inside a running handler: the relay and the
// link steps keep the window alive this way while a link runs nested in a click.

// Runs every event that is waiting now, and returns.
void DispatchPendingMessages();

// Waits at least ms milliseconds of the tick clock while dispatching the window's events (those
// the flags let through). The thread sleeps between events instead of spinning.
void DelayDispatching(std::uint32_t ms,
                      QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);
