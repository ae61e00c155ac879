#include "line/network/NetAddress.h"

#include <QList>

QString TNetAddress::HostAndPort() const
{
    const QString host = Host.contains(u':') ? u'[' + Host + u']' : Host;
    return host + u':' + QString::number(Port);
}

std::optional<TNetAddress> ParseNetAddress(QStringView rest)
{
    TNetAddress address;
    if (rest.endsWith(u'/'))
        rest.chop(1);

    qsizetype colon = -1;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 2 || close + 1 >= rest.size() || rest[close + 1] != u':')
            return std::nullopt;
        address.Host = rest.mid(1, close - 1).toString();
        if (!address.Host.contains(u':'))
            return std::nullopt;
        colon = close + 1;
    } else {
        colon = rest.lastIndexOf(u':');
        if (colon <= 0)
            return std::nullopt;
        address.Host = rest.left(colon).toString();
        // A bare IPv6 address would be ambiguous with its port: it needs brackets.
        if (address.Host.contains(u':'))
            return std::nullopt;
    }
    for (const QChar c : address.Host) {
        // Names and addresses are plain ASCII without blanks, slashes, user parts or the marks
        // that begin and join a line's options.
        if (c.unicode() <= 32 || c.unicode() >= 127 || c == u'/' || c == u'@' || c == u'[' ||
            c == u']' || c == u'?' || c == u'&' || c == u'#')
            return std::nullopt;
    }
    const QStringView digits = rest.mid(colon + 1);
    if (digits.isEmpty() || digits.size() > 5)
        return std::nullopt;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int port = digits.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    address.Port = static_cast<std::uint16_t>(port);
    return address;
}

bool ParseOptions(QStringView query,
                  const std::function<bool(QStringView key, QStringView value)> &take)
{
    if (query.isEmpty())
        return true;
    for (const QStringView option : query.split(u'&')) {
        const qsizetype equals = option.indexOf(u'=');
        if (equals <= 0 || !take(option.left(equals), option.mid(equals + 1)))
            return false;
    }
    return true;
}
