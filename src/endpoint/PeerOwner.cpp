#include "endpoint/PeerOwner.h"

#include "platform/Deadline.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Both ends of the connection as the peer's socket sees them: its own address and port are our
// peer's, its remote ones are ours.
struct TEnds {
    sockaddr_in Peer{};
    sockaddr_in Ours{};
};

std::optional<TEnds> EndsOf(int socket)
{
    TEnds ends;
    socklen_t size = sizeof ends.Peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&ends.Peer), &size) != 0 ||
        ends.Peer.sin_family != AF_INET)
        return std::nullopt;
    size = sizeof ends.Ours;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&ends.Ours), &size) != 0)
        return std::nullopt;
    return ends;
}

// One exact sock_diag request for the peer's TCP socket.
std::optional<uid_t> AskSockDiag(const TEnds &ends)
{
    const int query = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (query < 0)
        return std::nullopt;
    struct {
        nlmsghdr Header;
        inet_diag_req_v2 Request;
    } message{};
    message.Header.nlmsg_len = sizeof message;
    message.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.Header.nlmsg_flags = NLM_F_REQUEST;
    message.Request.sdiag_family = AF_INET;
    message.Request.sdiag_protocol = IPPROTO_TCP;
    message.Request.idiag_states = ~0U;
    message.Request.id.idiag_sport = ends.Peer.sin_port;
    message.Request.id.idiag_dport = ends.Ours.sin_port;
    message.Request.id.idiag_src[0] = ends.Peer.sin_addr.s_addr;
    message.Request.id.idiag_dst[0] = ends.Ours.sin_addr.s_addr;
    message.Request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.Request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<uid_t> owner;
    if (::sendto(query, &message, sizeof message, 0, reinterpret_cast<sockaddr *>(&kernel),
                 sizeof kernel) == ssize_t(sizeof message) &&
        WaitForDescriptor(query, POLLIN, TDeadline(std::chrono::seconds(1))) > 0) {
        alignas(nlmsghdr) char reply[8192];
        const ssize_t got =
            RetryOnInterrupt([&] { return ::recv(query, reply, sizeof reply, MSG_DONTWAIT); });
        if (got > 0)
            owner =
                OwnerInSockDiagReply(reply, size_t(got), ends.Peer.sin_port, ends.Ours.sin_port);
    }
    ::close(query);
    return owner;
}

// The same from /proc/net/tcp.
std::optional<uid_t> AskProcNetTcp(const TEnds &ends)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto hex = [](const sockaddr_in &address) {
        return QByteArray::number(quint32(address.sin_addr.s_addr), 16)
                   .rightJustified(8, '0')
                   .toUpper() +
               ':' +
               QByteArray::number(ntohs(address.sin_port), 16).rightJustified(4, '0').toUpper();
    };
    return OwnerInProcNetTcp(table.readAll(), hex(ends.Peer), hex(ends.Ours));
}

} // namespace

std::optional<uid_t> OwnerInSockDiagReply(const char *reply, size_t size, std::uint16_t peerPort,
                                          std::uint16_t ourPort)
{
    // Netlink messages follow each other at 4-byte boundaries (NLMSG_ALIGN).
    const auto aligned = [](size_t n) { return (n + 3) & ~size_t(3); };
    size_t at = 0;
    while (at + sizeof(nlmsghdr) <= size) {
        nlmsghdr header;
        std::memcpy(&header, reply + at, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - at ||
            header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header.nlmsg_len < aligned(sizeof(nlmsghdr)) + sizeof(inet_diag_msg))
            break;
        inet_diag_msg found;
        std::memcpy(&found, reply + at + aligned(sizeof(nlmsghdr)), sizeof found);
        if (found.id.idiag_sport == peerPort && found.id.idiag_dport == ourPort) {
            // Inode 0: no program holds the peer's socket any more (closed before we accepted;
            // the kernel reports such sockets as root's), so its owner is unknown.
            if (found.idiag_inode == 0)
                return std::nullopt;
            return uid_t(found.idiag_uid);
        }
        at += aligned(header.nlmsg_len);
    }
    return std::nullopt;
}

std::optional<uid_t> OwnerInProcNetTcp(const QByteArray &table, const QByteArray &local,
                                       const QByteArray &remote)
{
    // "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...", addresses as hexadecimal
    // "ADDR:PORT" in the kernel's byte order for the address. A socket that no program holds
    // any more has inode 0 and no owner we can trust, as above.
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == local && fields[2] == remote) {
            bool ok = false;
            const uint uid = fields[7].toUInt(&ok);
            if (ok && fields[9] != "0")
                return uid_t(uid);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<uid_t> LocalPeerOwner(int connectedSocket)
{
    if (const std::optional<uid_t> owner = PeerOwnerBySockDiag(connectedSocket))
        return owner;
    return PeerOwnerByProcTable(connectedSocket);
}

std::optional<uid_t> PeerOwnerBySockDiag(int connectedSocket)
{
    const std::optional<TEnds> ends = EndsOf(connectedSocket);
    return ends ? AskSockDiag(*ends) : std::nullopt;
}

std::optional<uid_t> PeerOwnerByProcTable(int connectedSocket)
{
    const std::optional<TEnds> ends = EndsOf(connectedSocket);
    return ends ? AskProcNetTcp(*ends) : std::nullopt;
}
