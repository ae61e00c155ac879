#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// A serial line reached over the network, as a port-map line names it:
//   rfc2217://host:port  telnet with the COM port control option (RFC 2217): the line's speed,
//                        format and control lines are set through the server;
//   tcp://host:port      a raw byte stream: speed and control lines are the server's business.
// host is an IPv4 address, an IPv6 address in brackets ([::1]) or a name.
struct TNetAddress {
    enum class TKind { Rfc2217, RawTcp };
    TKind Kind = TKind::Rfc2217;
    QString Host; // without brackets
    std::uint16_t Port = 0;

    // "host:port", with the brackets of an IPv6 address.
    QString HostAndPort() const;
};

// Whether a port-map path names a network line (it has a scheme: "<letters>://").
bool IsNetPath(const QString &path);
// The address of a network path; none for a path that is not one of the two forms above.
std::optional<TNetAddress> ParseNetPath(const QString &path);
