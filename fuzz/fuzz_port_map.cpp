// A hand-edited ports.conf through the port map's reader. Besides crashes and sanitizer reports:
// every line kept names a COM port and a device file or a network line, no name twice; the map
// written back as "name=path" lines reads back the same; a network line's address, written out
// again, names the same server.
#include "FuzzCheck.h"
#include "line/network/NetAddress.h"
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
        if (IsNetPath(entry.Path)) {
            const std::optional<TNetAddress> address = ParseNetPath(entry.Path);
            check(address.has_value() && address->Port > 0);
            const QString again =
                (address->Kind == TNetAddress::TKind::Rfc2217 ? QStringLiteral("rfc2217://")
                                                              : QStringLiteral("tcp://")) +
                address->HostAndPort();
            const std::optional<TNetAddress> reread = ParseNetPath(again);
            check(reread && reread->Kind == address->Kind && reread->Host == address->Host &&
                  reread->Port == address->Port);
        } else {
            check(entry.Path.startsWith(u'/'));
        }
        written += (entry.Name + u'=' + entry.Path + u'\n').toUtf8();
    }
    check(PortMap::Parse(written) == entries);
    return 0;
}
