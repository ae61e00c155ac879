#pragma once

#include "log/LogFormat.h"

#include <QString>

#include <functional>

class QObject;

// Where a worker thread's log lines go: Append runs on the thread of Receiver (the window
// thread), one finished line at a time.
struct TLogSink {
    QObject *Receiver = nullptr;
    std::function<void(const TLogEntry &entry)> Append;
};

// The log writer of a worker thread (the modem dialer). The worker never touches the log: it
// formats one line into FLogLine and hands it over to the sink's (window) thread, waiting until
// it has been appended, so at most one line is in flight and the lines keep their order.
// The window thread runs the hand-over whenever it processes its events; it must never wait for
// the worker without processing them.
class TThreadLogWriter
{
public:
    explicit TThreadLogWriter(TLogSink sink);

    // Called on the worker thread. Each piece of the message (see SplitLogMessage) becomes a
    // line "<timestamp>:<prefix> <piece>" with a fresh timestamp, handed over one by one.
    void WriteThreadLog(const QString &message, const QString &prefix);

private:
    // Runs the sink's Append with FEntry on its thread and returns once it has run.
    void HandOver();

    TLogEntry FEntry;
    TLogSink FSink;
};
