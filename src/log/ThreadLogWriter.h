#pragma once

#include <QString>

class QListWidget;

// The log writer of a worker thread (the modem dialer). The worker never touches the list: it
// formats one line into FLogLine and hands AppendLogLine over to the list's (window) thread,
// waiting until it has run, so at most one line is in flight and the lines keep their order.
// The window thread runs the hand-over whenever it processes its events; it must never wait for
// the worker without processing them.
class TThreadLogWriter
{
public:
    explicit TThreadLogWriter(QListWidget *logObject);

    // Called on the worker thread. Each piece of the message (see SplitLogMessage) becomes a
    // line "<timestamp>:<prefix> <piece>" with a fresh timestamp, handed over one by one.
    void WriteThreadLog(const QString &message, const QString &prefix);

private:
    // Runs on the window thread: appends FLogLine and scrolls the list to its end, whether the
    // log window is shown or not and whatever its autoscroll box says.
    void AppendLogLine();
    // Runs AppendLogLine on the list's thread and returns once it has run.
    void HandOver();

    QString FLogLine;
    QListWidget *FLogObject;
};
