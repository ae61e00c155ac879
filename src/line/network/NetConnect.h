#pragma once

#include "line/network/ByteStream.h"
#include "line/network/LineProtocol.h"
#include "line/network/NetAddress.h"
#include "line/network/TlsOptions.h"
#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// Connecting to a network line without holding up the caller: each attempt (name resolution,
// connect and the protocol's agreement with the server) runs on a thread of its own and is given
// up after 5 s. Attempts are kept by port-map path, so that a caller that asks again (the relay's
// next pass) finds the attempt already under way instead of starting another.
namespace NetConnect
{

// How long an attempt may take before it counts as unanswered.
inline constexpr std::chrono::seconds AttemptLimit{5};

// A connection ready to carry the line: its stream, its protocol in the state the agreement left
// it, and the data that arrived with it.
struct TConnection {
    std::unique_ptr<TByteStream> Stream;
    std::unique_ptr<TLineProtocol> Protocol;
    QByteArray Data;
};

// Makes the protocol a kind of line speaks.
using TProtocolMaker = std::unique_ptr<TLineProtocol> (*)();

// Where a line is reached and how: the address, TLS with its options over the TCP connection
// (none: clear text), and the protocol above.
struct TTarget {
    TNetAddress Address;
    std::optional<TTlsOptions> Tls;
    TProtocolMaker MakeProtocol = nullptr;
};

// Starts the attempt for the path unless one is under way, and waits at most patience for it.
// Success hands over the connection; a failure says why (the name not found, connection refused,
// no answer within 5 s, the server's certificate refused, the server refused the protocol or
// ended the connection). While the attempt is still under way the failure is of the kind Pending.
TResultOf<TConnection> Take(const QString &path, const TTarget &target,
                            std::chrono::milliseconds patience);

} // namespace NetConnect
