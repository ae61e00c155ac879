// The kernel's socket tables as the endpoint's owner check reads them: a sock_diag reply and the
// lines of /proc/net/tcp. Besides crashes and sanitizer reports (the reply is read from a buffer
// of exactly its size): an owner is found only in a message or line about the asked-for
// connection, and never for a socket that no program holds (inode 0).
#include "FuzzCheck.h"
#include "endpoint/PeerOwner.h"

#include <QList>

#include <cstdint>
#include <cstring>
#include <memory>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    std::uint16_t peer = 0;
    std::uint16_t ours = 0;
    std::memcpy(&peer, data, 2);
    std::memcpy(&ours, data + 2, 2);
    const size_t length = size - 4;
    const auto reply = std::make_unique<char[]>(length ? length : 1);
    std::memcpy(reply.get(), data + 4, length);

    if (const std::optional<uid_t> owner = OwnerInSockDiagReply(reply.get(), length, peer, ours)) {
        // Some well-formed message in the reply names the connection, a live socket and the uid.
        bool named = false;
        for (size_t at = 0; at + NLMSG_HDRLEN + sizeof(inet_diag_msg) <= length; ++at) {
            inet_diag_msg found;
            std::memcpy(&found, reply.get() + at + NLMSG_HDRLEN, sizeof found);
            named = named || (found.id.idiag_sport == peer && found.id.idiag_dport == ours &&
                              found.idiag_inode != 0 && found.idiag_uid == *owner);
        }
        check(named);
    }

    // The same bytes as /proc/net/tcp, asked for the first line's two addresses.
    const QByteArray table(reinterpret_cast<const char *>(data) + 4, qsizetype(length));
    const QList<QByteArray> first = table.left(table.indexOf('\n')).simplified().split(' ');
    const QByteArray local = first.value(1);
    const QByteArray remote = first.value(2);
    if (const std::optional<uid_t> owner = OwnerInProcNetTcp(table, local, remote)) {
        bool named = false;
        for (const QByteArray &line : table.split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            named = named || (fields.size() > 9 && fields[1] == local && fields[2] == remote &&
                              fields[9] != "0" && fields[7].toUInt() == *owner);
        }
        check(named);
    }
    return 0;
}
