#include "line/LineKinds.h"

#include "line/callin/CallInListener.h"
#include "line/callin/CallInOptions.h"
#include "line/callin/CallInProtocol.h"
#include "line/callin/CalledInStream.h"
#include "line/network/NetAddress.h"
#include "line/network/NetLine.h"
#include "line/network/RawProtocol.h"
#include "line/network/Rfc2217Protocol.h"
#include "line/tty/DeviceSysfs.h"
#include "line/tty/TtyLine.h"

#include <QFile>
#include <QStringList>

#include <array>
#include <sys/stat.h>

namespace
{

// Device files: an absolute path, there while it leads (links followed) to a character device.

bool IsAbsolute(const QString &path)
{
    return path.startsWith(u'/');
}

bool IsCharacterDevice(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Lines on the network: "<scheme>://host:port", with "?options" for TLS (TlsOptions.h), there
// while configured unless the connection of a line opened from the path has been lost.

std::optional<NetConnect::TTarget> TargetOf(const QString &path, bool tls)
{
    const qsizetype scheme = path.indexOf(QStringLiteral("://"));
    if (scheme < 0)
        return std::nullopt;
    QStringView rest = QStringView(path).mid(scheme + 3);
    QStringView query;
    if (const qsizetype question = rest.indexOf(u'?'); question >= 0 && tls) {
        query = rest.mid(question + 1);
        rest = rest.left(question);
    }
    NetConnect::TTarget target;
    const std::optional<TNetAddress> address = ParseNetAddress(rest);
    if (!address)
        return std::nullopt;
    target.Address = *address;
    if (tls) {
        target.Tls = TTlsOptions::Parse(query);
        if (!target.Tls)
            return std::nullopt;
    }
    return target;
}

template <bool Tls> bool HasTarget(const QString &path)
{
    return TargetOf(path, Tls).has_value();
}

bool NotLost(const QString &path)
{
    return !SerialLines::IsLost(path);
}

QString AsWritten(const QString &, const QString &path)
{
    return path;
}

template <typename TProtocol> std::unique_ptr<TLineProtocol> Make()
{
    return std::make_unique<TProtocol>();
}

template <typename TProtocol, bool Tls>
TResultOf<std::unique_ptr<TSerialLine>> OpenNet(const TLineKind &kind, const QString &path)
{
    NetConnect::TTarget target = *TargetOf(path, Tls);
    target.MakeProtocol = Make<TProtocol>;
    return TNetLine::Open(kind, path, target);
}

// Devices that call in: there while the listener has the device, waiting or in a link.

bool IsCallIn(const QString &path)
{
    return TCallInOptions::Parse(path).has_value();
}

TResultOf<std::unique_ptr<TSerialLine>> OpenCalledIn(const TLineKind &kind, const QString &path)
{
    TCallInListener *listener = TCallInListener::Current();
    if (listener == nullptr)
        return TResult::Failure(TFault::NotFound,
                                QStringLiteral("%1: приём звонков не запущен").arg(path));
    TResultOf<TCallInListener::TCall> call = listener->Take(path);
    if (!call)
        return call.Result();
    NetConnect::TConnection connection;
    connection.Stream = std::make_unique<TCalledInStream>(path, call.Value());
    connection.Protocol = std::make_unique<TCallInProtocol>(call.Value().Heartbeat);
    return TNetLine::Over(kind, path, std::move(connection));
}

bool CalledIn(const QString &path)
{
    const TCallInListener *listener = TCallInListener::Current();
    return listener != nullptr && listener->IsPresent(path);
}

QString DescribeCaller(const QString &, const QString &path)
{
    const TCallInListener *listener = TCallInListener::Current();
    return listener != nullptr ? listener->Describe(path) : path;
}

QString WhyNoCall(const QString &path)
{
    const TCallInListener *listener = TCallInListener::Current();
    return listener != nullptr ? listener->WhyAbsent(path)
                               : QStringLiteral("%1: приём звонков не запущен").arg(path);
}

const std::array<TLineKind, 6> kinds = {{
    {"", "/dev/...", true, nullptr, IsAbsolute, TTtyLine::Open, IsCharacterDevice,
     DeviceSysfs::Describe, nullptr},
    {"rfc2217", "rfc2217://хост:порт", true, nullptr, HasTarget<false>,
     OpenNet<TRfc2217Protocol, false>, NotLost, AsWritten, nullptr},
    {"rfc2217+tls", "rfc2217+tls://хост:порт?ca=...", true, nullptr, HasTarget<true>,
     OpenNet<TRfc2217Protocol, true>, NotLost, AsWritten, nullptr},
    {"tcp", "tcp://хост:порт", false, "сервер", HasTarget<false>, OpenNet<TRawProtocol, false>,
     NotLost, AsWritten, nullptr},
    {"tls", "tls://хост:порт?ca=...", false, "сервер", HasTarget<true>, OpenNet<TRawProtocol, true>,
     NotLost, AsWritten, nullptr},
    {"listen", "listen://адрес:порт?id=...", false, "роутер прибора", IsCallIn, OpenCalledIn,
     CalledIn, DescribeCaller, WhyNoCall},
}};

// The reason for a path that names no kind, or one that is not well formed.
TResult NotUnderstood(const QString &path)
{
    QStringList forms;
    for (const TLineKind &kind : kinds) {
        if (*kind.Scheme != '\0')
            forms << QString::fromUtf8(kind.Form);
    }
    return TResult::Failure(TFault::Invalid, QStringLiteral("%1: адрес не понят (нужно %2)")
                                                 .arg(path, forms.join(QStringLiteral(" или "))));
}

} // namespace

namespace LineKinds
{

std::span<const TLineKind> All()
{
    return kinds;
}

const TLineKind &DeviceFiles()
{
    return kinds[0];
}

const TLineKind *Of(const QString &path)
{
    if (IsAbsolute(path))
        return &DeviceFiles();
    const qsizetype end = path.indexOf(QStringLiteral("://"));
    if (end <= 0)
        return nullptr;
    const QStringView scheme = QStringView(path).left(end);
    for (const TLineKind &kind : kinds) {
        if (*kind.Scheme != '\0' &&
            scheme.compare(QLatin1String(kind.Scheme), Qt::CaseInsensitive) == 0)
            return &kind;
    }
    return nullptr;
}

bool Valid(const QString &path)
{
    const TLineKind *kind = Of(path);
    return kind != nullptr && kind->Parses(path);
}

TResultOf<std::unique_ptr<TSerialLine>> Open(const QString &path)
{
    const TLineKind *kind = Of(path);
    if (kind == nullptr || !kind->Parses(path))
        return NotUnderstood(path);
    return kind->Open(*kind, path);
}

bool IsPresent(const QString &path)
{
    const TLineKind *kind = Of(path);
    return kind != nullptr && kind->Parses(path) && kind->Present(path);
}

QString Describe(const QString &sysRoot, const QString &path)
{
    const TLineKind *kind = Of(path);
    return kind != nullptr ? kind->Describe(sysRoot, path) : path;
}

QString WhyAbsent(const QString &path)
{
    const TLineKind *kind = Of(path);
    return kind != nullptr && kind->WhyAbsent != nullptr && kind->Parses(path)
               ? kind->WhyAbsent(path)
               : QString();
}

} // namespace LineKinds
