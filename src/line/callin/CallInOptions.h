#pragma once

#include "line/network/NetAddress.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

struct sockaddr;

// A caller's address, or a network of them, that a line admits: "192.0.2.7", "10.1.0.0/16",
// "[2001:db8::]/32" (brackets optional for IPv6). An IPv4 caller that reaches an IPv6 socket as
// ::ffff:a.b.c.d is compared as the IPv4 address it is.
struct TSubnet {
    bool V6 = false;
    std::array<std::uint8_t, 16> Bytes{};
    int Prefix = 0;

    static std::optional<TSubnet> Parse(QStringView text);
    bool Contains(const sockaddr &address) const;
};

// What a port-map line for a device that calls in says:
//   listen://<address>:<port>[?option&option...]
// address: an IPv4 address or an IPv6 address in brackets ([::] or 0.0.0.0 for all); options:
//   id=<text> or id=hex:<hex digits>         the registration packet the device sends first;
//   heartbeat=<text> or heartbeat=hex:<...>  what its router sends when the line was quiet;
//   from=<address or address/prefix>         a caller admitted (may repeat; none: any).
struct TCallInOptions {
    // The longest registration packet, and the most a caller may send before it has registered.
    static constexpr int MaxRegistration = 256;

    TNetAddress Bind;
    std::optional<QByteArray> Id;
    QByteArray Heartbeat;
    QList<TSubnet> From;

    // The options of a "listen://" path; none when it is not well formed.
    static std::optional<TCallInOptions> Parse(const QString &path);
    // Whether a caller from the address may call this line.
    bool Admits(const sockaddr &address) const;
};

// A packet as the port map writes it: text as it stands, or "hex:" and an even number of hex
// digits. None for an empty packet, bad hex, or one longer than TCallInOptions::MaxRegistration.
std::optional<QByteArray> ParseCallInPacket(QStringView value);
// The caller's address as the log shows it ("192.0.2.7", "2001:db8::1"), without the port.
QString CallerAddressText(const sockaddr &address);
