#pragma once

#include <optional>
#include <sys/types.h>

// Who owns the other end of a TCP connection on this machine: the user id of the peer's socket,
// for a connection accepted on 127.0.0.1. Asked of the kernel's socket table (the sock_diag
// netlink query, /proc/net/tcp as a fallback); nothing when the owner cannot be found.
std::optional<uid_t> LocalPeerOwner(int connectedSocket);

// The two ways of asking, each on its own.
std::optional<uid_t> PeerOwnerBySockDiag(int connectedSocket);
std::optional<uid_t> PeerOwnerByProcTable(int connectedSocket);
