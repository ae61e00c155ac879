// A hand-edited ports.conf through the port map's reader. Besides crashes and sanitizer reports:
// every line kept names a COM port and a device file or a network line, no name twice; the map
// written back as "name=path" lines reads back the same; a network line's address, written out
// again, names the same server; a line over TLS has options that parse; a line for a device that
// calls in keeps its packets within their bound.
#include "FuzzCheck.h"
#include "line/LineKinds.h"
#include "line/callin/CallInOptions.h"
#include "line/network/NetAddress.h"
#include "line/network/TlsOptions.h"
#include "ports/PortMap.h"

#include <QSet>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<TPortMapEntry> entries = PortMap::Parse(text);

    QSet<QString> names;
    QByteArray written;
    for (const TPortMapEntry &entry : entries) {
        check(PortMap::PortNumber(entry.Name) > 0);
        check(!names.contains(entry.Name.toUpper()));
        names.insert(entry.Name.toUpper());
        check(!entry.Path.contains(u'#') && !entry.Path.contains(u'\n'));
        check(entry.Path == entry.Path.trimmed() && !entry.Path.isEmpty());
        // Every kept path is of a kind and well formed; a network line's address, written out
        // again behind its scheme, names the same server.
        const TLineKind *kind = LineKinds::Of(entry.Path);
        check(kind != nullptr && kind->Parses(entry.Path));
        if (*kind->Scheme == '\0') {
            check(entry.Path.startsWith(u'/'));
        } else if (const std::optional<TCallInOptions> callIn = TCallInOptions::Parse(entry.Path)) {
            // A device that calls in: an address of this machine, and a registration and
            // heartbeat within the registration's bound.
            check(callIn->Bind.Port > 0);
            check(!callIn->Id || (!callIn->Id->isEmpty() &&
                                  callIn->Id->size() <= TCallInOptions::MaxRegistration));
            check(callIn->Heartbeat.size() <= TCallInOptions::MaxRegistration);
        } else {
            // A line over TLS: options that parse, files named by absolute paths, a client
            // certificate with its key; the address before them is checked as any other.
            const QString scheme = QString::fromUtf8(kind->Scheme) + QStringLiteral("://");
            QStringView rest = QStringView(entry.Path).mid(scheme.size());
            if (const qsizetype question = rest.indexOf(u'?'); question >= 0) {
                const std::optional<TTlsOptions> tls = TTlsOptions::Parse(rest.mid(question + 1));
                check(tls.has_value());
                for (const QString &file : {tls->Ca, tls->Cert, tls->Key})
                    check(file.isEmpty() || file.startsWith(u'/'));
                check(tls->Cert.isEmpty() == tls->Key.isEmpty());
                rest = rest.left(question);
            }
            const std::optional<TNetAddress> address = ParseNetAddress(rest);
            check(address.has_value() && address->Port > 0);
            const QString again = scheme + address->HostAndPort();
            check(LineKinds::Of(again) == kind && kind->Parses(again));
            const std::optional<TNetAddress> reread =
                ParseNetAddress(QStringView(again).mid(scheme.size()));
            check(reread && reread->Host == address->Host && reread->Port == address->Port);
        }
        written += (entry.Name + u'=' + entry.Path + u'\n').toUtf8();
    }
    check(PortMap::Parse(written) == entries);
    return 0;
}
