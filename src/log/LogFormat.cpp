#include "log/LogFormat.h"

QStringList SplitLogMessage(const QString &message)
{
    if (!message.contains(QLatin1Char('\r')))
        return {message};

    QStringList pieces;
    QString piece;
    const qsizetype length = message.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = message.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            pieces.append(piece);
            piece.clear();
            // CR LF is one break, not two.
            if (c == QLatin1Char('\r') && i + 1 < length && message.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else {
            piece.append(c);
        }
    }
    // Text after the last break is a piece; a break at the very end leaves nothing behind it.
    if (!piece.isEmpty())
        pieces.append(piece);
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
