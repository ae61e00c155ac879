#include "log/ThreadLogWriter.h"

#include "log/LogFormat.h"

#include <QDateTime>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QtGlobal>

TThreadLogWriter::TThreadLogWriter(TLogSink sink) : FSink(std::move(sink)) {}

void TThreadLogWriter::WriteThreadLog(const QString &message, const QString &prefix)
{
    for (const QString &piece : SplitLogMessage(message)) {
        FEntry = {TLogEntry::TWriter::Thread, QDateTime::currentMSecsSinceEpoch(), prefix, piece};
        HandOver();
    }
}

void TThreadLogWriter::HandOver()
{
    if (FSink.Receiver == nullptr || !FSink.Append) {
        qWarning("Log line without a log list: %s", qUtf8Printable(FEntry.Formatted()));
        return;
    }
    // A blocking queued call to the own thread would wait for itself forever.
    if (QThread::currentThread() == FSink.Receiver->thread()) {
        FSink.Append(FEntry);
        return;
    }
    if (!QMetaObject::invokeMethod(
            FSink.Receiver, [this] { FSink.Append(FEntry); }, Qt::BlockingQueuedConnection))
        qWarning("Log line could not be handed to the window thread: %s",
                 qUtf8Printable(FEntry.Formatted()));
}
