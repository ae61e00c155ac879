#pragma once

#include "line/SerialLine.h"
#include "platform/SystemError.h"

#include <QString>

#include <memory>
#include <span>

// The kinds of serial line, one row each: the only place that tells from a port-map path which
// kind of line it names. The port map's checks, the opening of a port, the presence test and the
// port list all read this table. A new kind is one row here plus the class of its line.
//   /dev/ttyUSB0, /dev/serial/by-id/...  a device file;
//   rfc2217://host:port  telnet with the COM port control option (RFC 2217): the line's speed,
//                        format and control lines are set through the server;
//   tcp://host:port      a raw byte stream: speed and control lines are the server's business.
//   rfc2217+tls://host:port?options, tls://host:port?options  the same over TLS, the server's
//                        certificate checked (line/network/TlsOptions.h for the options);
//   listen://address:port?id=...  a device that calls in, through a router in TCP client mode
//                        (line/callin/CallInOptions.h): a raw stream, as tcp://.
// host is an IPv4 address, an IPv6 address in brackets ([::1]) or a name.
struct TLineKind {
    // The scheme before "://" ("rfc2217"), matched in any letter case; empty for the device
    // files, whose paths are absolute.
    const char *Scheme;
    // What a path of the kind looks like, for the reason when one is not understood.
    const char *Form;
    // Whether the line's speed and format are set from here; a raw stream leaves them to the
    // server or router at its end, which SpeedSetBy names for the log.
    bool SetsSpeed;
    const char *SpeedSetBy;
    // Whether a path of this kind (its scheme matched already) is well formed.
    bool (*Parses)(const QString &path);
    // Opens the line a well-formed path names.
    TResultOf<std::unique_ptr<TSerialLine>> (*Open)(const TLineKind &kind, const QString &path);
    // Whether the line is there now: a device file's node, a network line not lost.
    bool (*Present)(const QString &path);
    // What the port list shows for the line; sysRoot is where the system describes its devices.
    QString (*Describe)(const QString &sysRoot, const QString &path);
    // Why the line is not there, for the log when the port list is filled; null where the kind
    // has nothing to say beyond the open's reason.
    QString (*WhyAbsent)(const QString &path);
};

namespace LineKinds
{

std::span<const TLineKind> All();
// The row of the device files.
const TLineKind &DeviceFiles();
// The row of a path: by its scheme, or the device files' for an absolute path; null for a path
// of no kind. The path need not be well formed.
const TLineKind *Of(const QString &path);
// Whether the path is of a kind and well formed: what the port map keeps.
bool Valid(const QString &path);
// Opens the line the path names.
TResultOf<std::unique_ptr<TSerialLine>> Open(const QString &path);
// Whether the line the path names is there now; false for a path of no kind.
bool IsPresent(const QString &path);
// The port list's description of the path.
QString Describe(const QString &sysRoot, const QString &path);
// Why the line the path names is not there, where its kind can say; empty otherwise.
QString WhyAbsent(const QString &path);

} // namespace LineKinds
