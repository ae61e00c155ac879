#include "log/LogFormat.h"

void ForEachLogPiece(QStringView message, const std::function<void(QStringView piece)> &piece)
{
    if (!message.contains(QLatin1Char('\r'))) {
        piece(message);
        return;
    }
    const qsizetype length = message.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = message.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        piece(message.mid(start, i - start));
        // CR LF is one break, not two.
        if (c == QLatin1Char('\r') && i + 1 < length && message.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    // Text after the last break is a piece; a break at the very end leaves nothing behind it.
    if (start < length)
        piece(message.mid(start));
}

QStringList SplitLogMessage(const QString &message)
{
    QStringList pieces;
    ForEachLogPiece(message, [&pieces](QStringView piece) { pieces.append(piece.toString()); });
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
