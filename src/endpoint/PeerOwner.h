#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/types.h>

// Who owns the other end of a TCP connection on this machine: the user id of the peer's socket,
// for a connection accepted on 127.0.0.1. Asked of the kernel's socket table (the sock_diag
// netlink query, /proc/net/tcp as a fallback); nothing when the owner cannot be found.
std::optional<uid_t> LocalPeerOwner(int connectedSocket);

// The two ways of asking, each on its own.
std::optional<uid_t> PeerOwnerBySockDiag(int connectedSocket);
std::optional<uid_t> PeerOwnerByProcTable(int connectedSocket);

// How the kernel's answers are read, on their own: the owner of the socket whose source and
// destination ports (network byte order) are peerPort and ourPort in a sock_diag reply, and the
// owner of the line for local and remote ("ADDR:PORT" in hexadecimal) in /proc/net/tcp. Nothing
// when the socket is not there or no program holds it any more.
std::optional<uid_t> OwnerInSockDiagReply(const char *reply, size_t size, std::uint16_t peerPort,
                                          std::uint16_t ourPort);
std::optional<uid_t> OwnerInProcNetTcp(const QByteArray &table, const QByteArray &local,
                                       const QByteArray &remote);
