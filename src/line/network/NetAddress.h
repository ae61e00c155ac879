#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
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
