#include "log/ThreadLogWriter.h"

#include "log/LOGUnit.h"
#include "log/LogFormat.h"
#include "log/TimeFuncs.h"

#include <QListWidget>
#include <QMetaObject>
#include <QThread>
#include <QtGlobal>

#include <exception>

TThreadLogWriter::TThreadLogWriter(QListWidget *logObject) : FLogObject(logObject) {}

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
    if (FLogObject == nullptr) {
        qWarning("Log line without a log list: %s", qUtf8Printable(FLogLine));
        return;
    }
    // A blocking queued call to the own thread would wait for itself forever.
    if (QThread::currentThread() == FLogObject->thread()) {
        AppendLogLine();
        return;
    }
    if (!QMetaObject::invokeMethod(
            FLogObject, [this] { AppendLogLine(); }, Qt::BlockingQueuedConnection))
        qWarning("Log line could not be handed to the window thread: %s", qUtf8Printable(FLogLine));
}

void TThreadLogWriter::AppendLogLine()
{
    FLogObject->addItem(FLogLine);
    ScrollLogToEnd(*FLogObject);
}
