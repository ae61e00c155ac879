#pragma once

#include <QByteArrayView>
#include <QString>

// Where the lines of a link go: the event log of the window thread.
class TLinkLog
{
public:
    virtual ~TLinkLog() = default;

    virtual void WriteLog(const QString &message, const QString &prefix = QString()) = 0;
    // Bytes of the line, logged as Windows-1251 text (Win1251ToString).
    virtual void WriteLogBytes(QByteArrayView bytes, const QString &prefix) = 0;
};
