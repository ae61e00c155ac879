#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>

// Line formats and line splitting shared by the two log writers.

// One log line as a writer gives it: who wrote it, when, its prefix and its text.
struct TLogEntry {
    // The window thread's writer puts a blank after the timestamp's colon, a worker's does not.
    enum class TWriter : std::uint8_t { Window, Thread };
    TWriter Writer = TWriter::Window;
    qint64 Time = 0; // milliseconds since the epoch
    QString Prefix;
    QString Text;

    // The line as the log shows and saves it.
    QString Formatted() const;
};

// The pieces a message goes into the log as. A message without a carriage return is one piece,
// line feeds included. Otherwise it is split at every CR LF, lone CR and lone LF; a break at the
// very end adds no empty piece, while a break at the start or two breaks in a row give one.
QStringList SplitLogMessage(const QString &message);
namespace LogPieces
{
inline char16_t Unit(QChar c)
{
    return c.unicode();
}
inline char16_t Unit(char c)
{
    return char16_t(static_cast<unsigned char>(c));
}
} // namespace LogPieces

// The same pieces, handed one by one to piece as views into the message (nothing is copied). The
// message is text (QStringView) or Windows-1251 bytes (QByteArrayView), whose only breaks are
// the bytes of CR and LF, so both split alike.
template <typename TView, typename TPiece> void ForEachLogPiece(TView message, TPiece &&piece)
{
    const qsizetype length = message.size();
    const auto at = [&message](qsizetype i) { return LogPieces::Unit(message[i]); };
    qsizetype i = 0;
    while (i < length && at(i) != u'\r')
        ++i;
    if (i == length) {
        piece(message);
        return;
    }
    qsizetype start = 0;
    for (i = 0; i < length; ++i) {
        const char16_t c = at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        piece(message.sliced(start, i - start));
        // CR LF is one break, not two.
        if (c == u'\r' && i + 1 < length && at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    // Text after the last break is a piece; a break at the very end leaves nothing behind it.
    if (start < length)
        piece(message.sliced(start));
}

// A line of the window's own writer: "<timestamp>: <prefix> <text>" (two blanks after the
// colon when the prefix is empty).
QString FormatWindowLogLine(const QString &timestamp, const QString &prefix, const QString &text);

// A line of the dialer thread: "<timestamp>:<prefix> <text>" (no blank after the colon).
QString FormatThreadLogLine(const QString &timestamp, const QString &prefix, const QString &text);
