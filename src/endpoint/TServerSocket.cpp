#include "endpoint/TServerSocket.h"

#include "endpoint/PeerOwner.h"
#include "platform/Deadline.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// After the process or the system ran out of descriptors or memory, the pending connection
// stays queued and the listener stays readable; accepting is paused for this long instead of
// spinning on it.
constexpr int ACCEPT_RETRY_MS = 1000;

bool IsResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// accept reports a failure of the pending connection itself; the listener is fine.
bool IsDroppedConnection(int error)
{
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// A connection broken off by the peer or the network is a close that carries an error.
TErrorEvent ClassifyReadError(int error)
{
    switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETRESET:
    case ENOTCONN:
        return eeDisconnect;
    default:
        return eeReceive;
    }
}

} // namespace

TServerSocket::TServerSocket(QObject *parent) : QObject(parent), FAcceptRetry(new QTimer(this))
{
    FAcceptRetry->setSingleShot(true);
    FAcceptRetry->setInterval(ACCEPT_RETRY_MS);
    connect(FAcceptRetry, &QTimer::timeout, this, [this] {
        if (FAcceptNotifier)
            FAcceptNotifier->setEnabled(true);
    });
}

TServerSocket::~TServerSocket()
{
    for (auto it = FConnections.rbegin(); it != FConnections.rend(); ++it) {
        (*it)->FServer = nullptr;
        if ((*it)->CloseHandle() != 0)
            qWarning("TServerSocket: closing a client socket failed");
    }
    FConnections.clear();
    if (FListenHandle >= 0) {
        FAcceptNotifier->setEnabled(false);
        if (::close(FListenHandle) != 0 && errno != EINTR)
            qWarning("TServerSocket: closing the listening socket failed");
    }
}

void TServerSocket::SetActive(bool value)
{
    if (value == Active())
        return;
    if (value) {
        Open();
    } else {
        // The listener closes even when closing a client failed.
        try {
            CloseClients();
        } catch (...) {
            CloseListener();
            throw;
        }
        CloseListener();
    }
}

void TServerSocket::SetPort(int value)
{
    if (Active())
        throw ActiveSocketError();
    if (value < 0 || value > 65535)
        throw std::runtime_error("Invalid TCP port " + std::to_string(value) +
                                 " (must be 0..65535)");
    FPort = value;
}

int TServerSocket::LocalPort() const
{
    if (!Active())
        return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(FListenHandle, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

TCustomWinSocket *TServerSocket::Connections(int index) const
{
    if (index < 0 || index >= ActiveConnections())
        return nullptr;
    return FConnections[static_cast<size_t>(index)].get();
}

void TServerSocket::DisconnectClients()
{
    CloseClients();
}

void TServerSocket::ResumeReads()
{
    FReadsSuspended = false;
    for (const SocketPtr &socket : FConnections) {
        if (socket->FReadParked) {
            socket->FReadParked = false;
            socket->SetReadEnabled(true);
        }
    }
}

void TServerSocket::Open()
{
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0)
        throw CreateSocketError();
    auto fail = [handle](const char *api) {
        const int error = errno;
        ::close(handle);
        return SocketApiError(error, api);
    };
    // A restart must not fail on a port whose last connections are still in TIME_WAIT.
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        throw fail("setsockopt");
    // Only this PC's setup program may reach the device.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(FPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        throw fail("bind");
    if (::listen(handle, 5) != 0)
        throw fail("listen");
    FListenHandle = handle;
    FAcceptNotifier.reset(new QSocketNotifier(handle, QSocketNotifier::Read));
    connect(FAcceptNotifier.get(), &QSocketNotifier::activated, this, &TServerSocket::Accept);
    FAcceptErrorShown = false;
    FReadsSuspended = false;
}

void TServerSocket::CloseListener()
{
    FAcceptRetry->stop();
    // The notifier is released later (it may be delivering this very call) but must stop
    // watching the descriptor now.
    FAcceptNotifier->setEnabled(false);
    FAcceptNotifier.reset();
    const int handle = FListenHandle;
    FListenHandle = -1;
    if (::close(handle) != 0 && errno != EINTR)
        throw SocketApiError(errno, "closesocket");
}

void TServerSocket::CloseClients()
{
    std::vector<SocketPtr> clients;
    clients.swap(FConnections);
    int failure = 0;
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        const int error = (*it)->CloseHandle();
        if (error != 0 && failure == 0)
            failure = error;
    }
    if (failure != 0)
        throw SocketApiError(failure, "closesocket");
}

void TServerSocket::Accept()
{
    if (!Active())
        return;
    const int handle = ::accept4(FListenHandle, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle < 0) {
        const int error = errno;
        if (IsDroppedConnection(error))
            return;
        if (IsResourceShortage(error)) {
            FAcceptNotifier->setEnabled(false);
            FAcceptRetry->start();
            if (FAcceptErrorShown)
                return;
            FAcceptErrorShown = true;
        }
        throw AsyncSocketError(error);
    }
    FAcceptErrorShown = false;
    // Only the user's own programs may reach the device: every local user can connect to
    // 127.0.0.1, so a connection whose peer belongs to another user, or to nobody we can find,
    // is closed before anything of it is read or reported.
    const std::optional<uid_t> owner = LocalPeerOwner(handle);
    if (!owner || *owner != ::geteuid()) {
        ::close(handle);
        if (OnClientRefused)
            OnClientRefused(this, owner ? int(*owner) : -1);
        return;
    }
    SocketPtr socket(new TCustomWinSocket(this, handle));
    std::weak_ptr<TCustomWinSocket> weak = socket;
    connect(socket->FReadNotifier.get(), &QSocketNotifier::activated, this, [this, weak] {
        if (SocketPtr alive = weak.lock())
            ReadNotification(alive);
    });
    connect(socket->FWriteNotifier.get(), &QSocketNotifier::activated, this, [this, weak] {
        if (SocketPtr alive = weak.lock())
            WriteNotification(alive);
    });
    FConnections.push_back(socket);
    if (OnClientConnect)
        OnClientConnect(this, socket.get());
}

void TServerSocket::ReadNotification(const SocketPtr &socket)
{
    if (!socket->Connected())
        return;
    char probe;
    const ssize_t peeked = RetryOnInterrupt(
        [&] { return ::recv(socket->FHandle, &probe, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (peeked < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return;
        ClientFailed(socket, ClassifyReadError(error), error, nullptr);
        return;
    }
    if (peeked == 0) {
        ClientClosed(socket);
        return;
    }
    if (FReadsSuspended) {
        socket->FReadParked = true;
        socket->SetReadEnabled(false);
        return;
    }
    // The notified connection's own notification comes again (level-triggered) if another one
    // is served first.
    const SocketPtr served = NextInTurn(socket);
    served->FServedTurn = ++FTurns;
    // No nested read event for this connection while its handler runs (it may dispatch events).
    served->SetReadEnabled(false);
    QPointer<TServerSocket> alive(this);
    try {
        if (OnClientRead)
            OnClientRead(this, served.get());
    } catch (...) {
        if (alive)
            AfterReadEvent(served);
        throw;
    }
    if (alive)
        AfterReadEvent(served);
}

TServerSocket::SocketPtr TServerSocket::NextInTurn(const SocketPtr &notified) const
{
    // Of the connections with data waiting, the one served longest ago. A reader that takes one
    // block at a time and suspends reads until it is delivered would otherwise serve, at every
    // resume, whichever connection the event loop reports first, and a client that sends
    // without a pause would keep every other one waiting.
    SocketPtr next = notified;
    for (const SocketPtr &candidate : FConnections) {
        if (candidate != notified && candidate->Connected() &&
            candidate->FServedTurn < next->FServedTurn && candidate->ReceiveLength() > 0)
            next = candidate;
    }
    return next;
}

void TServerSocket::AfterReadEvent(const SocketPtr &socket)
{
    if (!socket->Connected())
        return;
    if (FReadsSuspended && socket->ReceiveLength() > 0) {
        socket->FReadParked = true;
        return;
    }
    socket->SetReadEnabled(true);
}

void TServerSocket::WriteNotification(const SocketPtr &socket)
{
    const int error = socket->FlushSendQueue();
    if (error != 0)
        ClientFailed(socket, eeSend, error, nullptr);
}

void TServerSocket::ClientFailed(const SocketPtr &socket, TErrorEvent kind, int error,
                                 const char *api)
{
    int code = error;
    QPointer<TServerSocket> alive(this);
    try {
        if (OnClientError)
            OnClientError(this, socket.get(), kind, code);
    } catch (...) {
        if (alive)
            ClientClosed(socket);
        throw;
    }
    if (alive)
        ClientClosed(socket);
    if (code == 0)
        return;
    if (api)
        throw SocketApiError(code, api);
    throw AsyncSocketError(code);
}

void TServerSocket::ClientClosed(const SocketPtr &socket)
{
    if (!socket->Connected())
        return;
    QPointer<TServerSocket> alive(this);
    int error = 0;
    try {
        if (OnClientDisconnect)
            OnClientDisconnect(this, socket.get());
    } catch (...) {
        socket->CloseHandle();
        if (alive)
            SchedulePurge();
        throw;
    }
    error = socket->CloseHandle();
    if (alive)
        SchedulePurge();
    if (error != 0)
        throw SocketApiError(error, "closesocket");
}

void TServerSocket::SchedulePurge()
{
    if (FPurgeScheduled)
        return;
    FPurgeScheduled = true;
    QMetaObject::invokeMethod(this, &TServerSocket::Purge, Qt::QueuedConnection);
}

void TServerSocket::Purge()
{
    FPurgeScheduled = false;
    std::erase_if(FConnections, [](const SocketPtr &socket) { return !socket->Connected(); });
}
