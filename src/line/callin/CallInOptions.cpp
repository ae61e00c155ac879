#include "line/callin/CallInOptions.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace
{

// The IPv4 or IPv6 bytes of an address literal.
bool ParseLiteral(const QString &text, bool &v6, std::array<std::uint8_t, 16> &bytes)
{
    const QByteArray ascii = text.toLatin1();
    bytes.fill(0);
    if (::inet_pton(AF_INET, ascii.constData(), bytes.data()) == 1) {
        v6 = false;
        return true;
    }
    if (::inet_pton(AF_INET6, ascii.constData(), bytes.data()) == 1) {
        v6 = true;
        return true;
    }
    return false;
}

// The caller's family and bytes, an IPv4-mapped IPv6 address as IPv4.
bool CallerBytes(const sockaddr &address, bool &v6, std::array<std::uint8_t, 16> &bytes)
{
    bytes.fill(0);
    if (address.sa_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        std::memcpy(bytes.data(), &in.sin_addr, 4);
        v6 = false;
        return true;
    }
    if (address.sa_family != AF_INET6)
        return false;
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        std::memcpy(bytes.data(), in6.sin6_addr.s6_addr + 12, 4);
        v6 = false;
        return true;
    }
    std::memcpy(bytes.data(), in6.sin6_addr.s6_addr, 16);
    v6 = true;
    return true;
}

} // namespace

std::optional<TSubnet> TSubnet::Parse(QStringView text)
{
    TSubnet subnet;
    QStringView address = text;
    const qsizetype slash = text.indexOf(u'/');
    if (slash >= 0)
        address = text.left(slash);
    if (address.startsWith(u'[') && address.endsWith(u']'))
        address = address.mid(1, address.size() - 2);
    if (!ParseLiteral(address.toString(), subnet.V6, subnet.Bytes))
        return std::nullopt;
    const int bits = subnet.V6 ? 128 : 32;
    subnet.Prefix = bits;
    if (slash >= 0) {
        const QStringView digits = text.mid(slash + 1);
        bool ok = digits.size() <= 3 && !digits.isEmpty();
        for (const QChar c : digits)
            ok = ok && c >= u'0' && c <= u'9';
        const int prefix = ok ? digits.toInt() : -1;
        if (prefix < 0 || prefix > bits)
            return std::nullopt;
        subnet.Prefix = prefix;
    }
    return subnet;
}

bool TSubnet::Contains(const sockaddr &address) const
{
    bool v6 = false;
    std::array<std::uint8_t, 16> caller{};
    if (!CallerBytes(address, v6, caller) || v6 != V6)
        return false;
    const int whole = Prefix / 8;
    if (std::memcmp(caller.data(), Bytes.data(), size_t(whole)) != 0)
        return false;
    const int rest = Prefix % 8;
    if (rest == 0)
        return true;
    const auto mask = std::uint8_t(0xFF << (8 - rest));
    return (caller[size_t(whole)] & mask) == (Bytes[size_t(whole)] & mask);
}

std::optional<QByteArray> ParseCallInPacket(QStringView value)
{
    QByteArray packet;
    if (value.startsWith(QLatin1String("hex:"), Qt::CaseInsensitive)) {
        const QStringView digits = value.mid(4);
        if (digits.size() % 2 != 0)
            return std::nullopt;
        for (const QChar c : digits) {
            if (!c.isDigit() && !(c.toLower() >= u'a' && c.toLower() <= u'f'))
                return std::nullopt;
        }
        packet = QByteArray::fromHex(digits.toLatin1());
    } else {
        packet = value.toUtf8();
    }
    if (packet.isEmpty() || packet.size() > TCallInOptions::MaxRegistration)
        return std::nullopt;
    return packet;
}

std::optional<TCallInOptions> TCallInOptions::Parse(const QString &path)
{
    static const QString scheme = QStringLiteral("listen://");
    if (!path.startsWith(scheme, Qt::CaseInsensitive))
        return std::nullopt;
    QStringView rest = QStringView(path).mid(scheme.size());
    QStringView query;
    if (const qsizetype question = rest.indexOf(u'?'); question >= 0) {
        query = rest.mid(question + 1);
        rest = rest.left(question);
    }
    TCallInOptions result;
    const std::optional<TNetAddress> bind = ParseNetAddress(rest);
    if (!bind)
        return std::nullopt;
    // Where to listen is an address of this machine, never a name to look up.
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    if (!ParseLiteral(bind->Host, v6, bytes))
        return std::nullopt;
    result.Bind = *bind;

    const bool understood = ParseOptions(query, [&](QStringView key, QStringView value) {
        if (key == QLatin1String("id") && !result.Id) {
            result.Id = ParseCallInPacket(value);
            return result.Id.has_value();
        }
        if (key == QLatin1String("heartbeat") && result.Heartbeat.isEmpty()) {
            const std::optional<QByteArray> heartbeat = ParseCallInPacket(value);
            if (heartbeat)
                result.Heartbeat = *heartbeat;
            return heartbeat.has_value();
        }
        if (key == QLatin1String("from")) {
            const std::optional<TSubnet> from = TSubnet::Parse(value);
            if (from)
                result.From.append(*from);
            return from.has_value();
        }
        return false; // unknown, or given twice
    });
    if (!understood)
        return std::nullopt;
    return result;
}

bool TCallInOptions::Admits(const sockaddr &address) const
{
    if (From.isEmpty())
        return true;
    for (const TSubnet &subnet : From) {
        if (subnet.Contains(address))
            return true;
    }
    return false;
}

QString CallerAddressText(const sockaddr &address)
{
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    if (!CallerBytes(address, v6, bytes))
        return QStringLiteral("?");
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
    return QString::fromLatin1(text);
}
