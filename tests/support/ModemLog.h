#pragma once
// Reading what lindqvar-modem recorded of a dialogue, and the dialer's log lines.

#include <QByteArray>
#include <QFile>
#include <QListWidget>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// The modem's --log file: "<ms> RX|TX <escaped bytes>" and "<ms> EVENT <name> [detail]".
struct TModemLog {
    struct TEntry {
        qint64 Ms = 0;
        QString Kind;    // RX, TX or EVENT
        QByteArray Data; // RX/TX: the bytes unescaped; EVENT: the name and detail
    };
    QList<TEntry> Entries;

    static QByteArray Unescape(const QByteArray &text)
    {
        QByteArray out;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] != '\\' || i + 1 >= text.size()) {
                out += text[i];
                continue;
            }
            const char c = text[++i];
            if (c == 'r')
                out += '\r';
            else if (c == 'n')
                out += '\n';
            else if (c == 'x' && i + 2 < text.size()) {
                out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
                i += 2;
            } else
                out += c;
        }
        return out;
    }

    static TModemLog Read(const QString &path)
    {
        TModemLog log;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return log;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype a = line.indexOf(' ');
            const qsizetype b = a < 0 ? -1 : line.indexOf(' ', a + 1);
            if (b < 0)
                continue;
            TEntry e;
            e.Ms = line.left(a).toLongLong();
            e.Kind = QString::fromLatin1(line.mid(a + 1, b - a - 1));
            const QByteArray rest = line.mid(b + 1);
            e.Data = e.Kind == QLatin1String("EVENT") ? rest : Unescape(rest);
            log.Entries << e;
        }
        return log;
    }

    // The commands the modem executed, e.g. "AT+CREG?", "ATD123", "ATH".
    QStringList Commands() const
    {
        QStringList out;
        for (const TEntry &e : Entries)
            if (e.Kind == QLatin1String("EVENT") && e.Data.startsWith("command "))
                out << QString::fromLatin1(e.Data.mid(8));
        return out;
    }
    int Count(const QString &command) const { return int(Commands().count(command)); }
    // The first event with this name (and detail prefix), or nullptr.
    const TEntry *Event(const QByteArray &name) const
    {
        for (const TEntry &e : Entries)
            if (e.Kind == QLatin1String("EVENT") && e.Data.startsWith(name))
                return &e;
        return nullptr;
    }
    // When the modem last executed this command; -1 when it never did.
    qint64 LastCommandAt(const QByteArray &command) const
    {
        qint64 at = -1;
        for (const TEntry &e : Entries)
            if (e.Kind == QLatin1String("EVENT") && e.Data == "command " + command)
                at = e.Ms;
        return at;
    }
    // Every byte the modem received after the first event with this name.
    QByteArray ReceivedAfter(const QByteArray &event) const
    {
        QByteArray out;
        bool after = false;
        for (const TEntry &e : Entries) {
            if (e.Kind == QLatin1String("EVENT") && e.Data.startsWith(event))
                after = true;
            else if (after && e.Kind == QLatin1String("RX"))
                out += e.Data;
        }
        return out;
    }
};

// A dialer log line is "<yyyy.MM.dd hh:mm:ss.zzz>:<prefix> <text>"; this gives "<prefix> <text>"
// for every line, or "BAD FORMAT: <line>" for a line that does not start that way.
inline QStringList DialerLogBodies(const QListWidget &log)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:"));
    QStringList out;
    for (int i = 0; i < log.count(); ++i) {
        const QString line = log.item(i)->text();
        const QRegularExpressionMatch m = stamp.match(line);
        out << (m.hasMatch() ? line.mid(m.capturedLength())
                             : QStringLiteral("BAD FORMAT: ") + line);
    }
    return out;
}

// The texts of the lines with this prefix ("<<", ">>", or empty for status lines), in order.
inline QStringList DialerLogTexts(const QListWidget &log, const QString &prefix)
{
    QStringList out;
    const QString head = prefix + QLatin1Char(' ');
    for (const QString &body : DialerLogBodies(log)) {
        if (body.startsWith(head))
            out << body.mid(head.size());
    }
    return out;
}
