#pragma once

#include "line/network/NetAddress.h"
#include "line/network/TelnetCodec.h"
#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>

#include <chrono>

// Connecting to a network line without holding up the caller: each attempt (name resolution,
// connect and, for RFC 2217, the server's agreement to the COM port option) runs on a thread of
// its own and is given up after 5 s. Attempts are kept by port-map path, so that a caller that
// asks again (the relay's next pass) finds the attempt already under way instead of starting
// another.
namespace NetConnect
{

// How long an attempt may take before it counts as unanswered.
inline constexpr std::chrono::seconds AttemptLimit{5};

// A connection ready to carry the line: its socket, the telnet state after the negotiation and
// the data that arrived with it.
struct TConnection {
    int Fd = -1;
    TTelnetCodec Codec;
    QByteArray Data;
};

// Starts the attempt for the path unless one is under way, and waits at most patience for it.
// Success hands over the connection; a failure says why (the name not found, connection refused,
// no answer within 5 s, the server refused RFC 2217 or ended the connection). While the attempt
// is still under way the result is a failure and Pending(path) is true.
TResult Take(const QString &path, const TNetAddress &address, std::chrono::milliseconds patience,
             TConnection &connection);

// Whether an attempt for the path is under way or finished and not yet taken.
bool Pending(const QString &path);

// Sends bytes on a non-blocking socket, waiting for room while it takes nothing for stall (the
// wait starts again after any progress). How many bytes went out; error is the failure's errno,
// 0 when the socket only stalled or all went out.
qsizetype Send(int fd, const char *bytes, qsizetype size, std::chrono::milliseconds stall,
               int &error);

} // namespace NetConnect
