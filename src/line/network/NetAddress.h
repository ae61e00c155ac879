#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <functional>
#include <optional>

// Where a line on the network is reached: host and port, as the port map writes them after the
// scheme ("host:port"). host is an IPv4 address, an IPv6 address in brackets ([::1]) or a name.
struct TNetAddress {
    QString Host; // without brackets
    std::uint16_t Port = 0;

    // "host:port", with the brackets of an IPv6 address.
    QString HostAndPort() const;
};

// The address in "host:port" (one '/' may end it); none for anything else.
std::optional<TNetAddress> ParseNetAddress(QStringView text);

// The options of a port-map path after its '?': "key=value" pairs joined by '&', each handed to
// take, which says whether it understands it. False for a pair without a key or '=' and for one
// that take refuses; true for no options at all.
bool ParseOptions(QStringView query,
                  const std::function<bool(QStringView key, QStringView value)> &take);
