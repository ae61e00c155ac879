#include "log/ThreadLogWriter.h"

#include "log/LogFormat.h"
#include "log/TimeFuncs.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QtGlobal>

#include <exception>

TThreadLogWriter::TThreadLogWriter(TLogSink sink) : FSink(std::move(sink)) {}

void TThreadLogWriter::WriteThreadLog(const QString &message, const QString &prefix)
{
    for (const QString &piece : SplitLogMessage(message)) {
        try {
            FLogLine = FormatThreadLogLine(TimeStampString(), prefix, piece);
        } catch (const std::exception &) {
            // A piece that cannot be formatted is replaced by the whole message, so the line
            // is not lost; the next piece goes on as usual.
            FLogLine = FormatThreadLogLine(TimeStampString(), prefix, message);
        }
        HandOver();
    }
}

void TThreadLogWriter::HandOver()
{
    if (FSink.Receiver == nullptr || !FSink.Append) {
        qWarning("Log line without a log list: %s", qUtf8Printable(FLogLine));
        return;
    }
    // A blocking queued call to the own thread would wait for itself forever.
    if (QThread::currentThread() == FSink.Receiver->thread()) {
        FSink.Append(FLogLine);
        return;
    }
    if (!QMetaObject::invokeMethod(
            FSink.Receiver, [this] { FSink.Append(FLogLine); }, Qt::BlockingQueuedConnection))
        qWarning("Log line could not be handed to the window thread: %s", qUtf8Printable(FLogLine));
}
