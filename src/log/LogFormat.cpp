#include "log/LogFormat.h"

#include "log/TimeFuncs.h"

#include <QDateTime>

QStringList SplitLogMessage(const QString &message)
{
    QStringList pieces;
    ForEachLogPiece(QStringView(message),
                    [&pieces](QStringView piece) { pieces.append(piece.toString()); });
    return pieces;
}

QString FormatWindowLogLine(const QString &timestamp, const QString &prefix, const QString &text)
{
    return timestamp + QStringLiteral(": ") + prefix + QLatin1Char(' ') + text;
}

QString FormatThreadLogLine(const QString &timestamp, const QString &prefix, const QString &text)
{
    return timestamp + QLatin1Char(':') + prefix + QLatin1Char(' ') + text;
}

QString TLogEntry::Formatted() const
{
    const QString stamp = TimeStampString(QDateTime::fromMSecsSinceEpoch(Time));
    return Writer == TWriter::Window ? FormatWindowLogLine(stamp, Prefix, Text)
                                     : FormatThreadLogLine(stamp, Prefix, Text);
}
