// The local TCP server endpoint that the setup program connects to.
#pragma once

#include "endpoint/SocketError.h"
#include "endpoint/TCustomWinSocket.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

// A non-blocking IPv4 server on 127.0.0.1. Every event runs on the thread that owns the object,
// only while that thread dispatches its events (socket notifiers), in this order:
// - accept: the connection is appended to the list, then OnClientConnect; a connection whose
//   peer is a program of another user (or of a user that cannot be found) is closed at once
//   instead, with nothing read and no event but OnClientRefused;
// - data waiting: OnClientRead; the handler reads what it wants with ReceiveBuf. Notifications
//   are level-triggered: bytes the handler left behind cause a further OnClientRead, unless reads
//   are suspended (see SuspendReads). A handler must therefore either read or suspend reads.
//   Connections with data waiting take turns: each read event goes to the one served longest
//   ago;
// - orderly close by the peer (after all its data has been read): OnClientDisconnect while the
//   connection is still open, then the connection is closed and leaves the list at the next
//   turn of the event loop;
// - an error on a connection (reset, broken pipe, failed receive or send): OnClientError with
//   the kind and the error number, then the connection is closed as above, OnClientDisconnect
//   included. If the error handler leaves a non-zero code, an error is raised after the close.
// Error kinds: a connection broken off (reset, abort, time-out, broken pipe) found while handling
// a notification is eeDisconnect, any other error found there eeReceive; a failing receive call
// is eeReceive, a failing send, including a later send of queued bytes, eeSend.
// Errors are raised as std::runtime_error with the endpoint's texts (SocketError.h). Those raised
// while a notification is handled leave through the event loop, so the application must catch
// them at its event-delivery boundary (QCoreApplication::notify).
class TServerSocket : public QObject
{
    Q_OBJECT

public:
    using TSocketNotifyEvent = std::function<void(TServerSocket *Sender, TCustomWinSocket *Socket)>;
    using TSocketErrorEvent = std::function<void(TServerSocket *Sender, TCustomWinSocket *Socket,
                                                 TErrorEvent ErrorEvent, int &ErrorCode)>;

    explicit TServerSocket(QObject *parent = nullptr);
    ~TServerSocket() override;

    // True while listening. SetActive(true) creates the socket, binds 127.0.0.1:Port and listens
    // with a backlog of 5; it raises on failure and the endpoint stays stopped. SetActive(false)
    // closes every client (no disconnect events) and then the listener.
    bool Active() const { return FListenHandle >= 0; }
    void SetActive(bool value);
    int Port() const { return FPort; }
    // Raises if the endpoint is active or the value is not a TCP port number (0..65535).
    void SetPort(int value);
    // The port actually bound while active (differs from Port when Port is 0); 0 when stopped.
    int LocalPort() const;
    // The listening socket's descriptor; -1 when stopped.
    int SocketHandle() const { return FListenHandle; }

    // The connection list in the order of acceptance, oldest at index 0. A closed connection
    // stays listed (not Connected) until the next turn of the event loop.
    int ActiveConnections() const { return static_cast<int>(FConnections.size()); }
    TCustomWinSocket *Connections(int index) const;
    // Closes every client connection, oldest last, without disconnect events; goes on listening.
    void DisconnectClients();

    // While reads are suspended no OnClientRead fires: a connection with data waiting is held
    // until ResumeReads, whose level-triggered notifications then deliver the waiting data in
    // further read events. Closes by the peer are still reported once no data waits. Reads start
    // unsuspended each time the endpoint is activated.
    void SuspendReads() { FReadsSuspended = true; }
    void ResumeReads();
    bool ReadsSuspended() const { return FReadsSuspended; }

    // A refused connection: the user id of its peer, -1 when it could not be found.
    using TSocketRefusedEvent = std::function<void(TServerSocket *Sender, int PeerUid)>;

    TSocketNotifyEvent OnClientConnect;
    TSocketRefusedEvent OnClientRefused;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketErrorEvent OnClientError;

private:
    friend class TCustomWinSocket;
    using SocketPtr = std::shared_ptr<TCustomWinSocket>;

    void Open();
    void CloseListener();
    void CloseClients();
    void Accept();
    void ReadNotification(const SocketPtr &socket);
    void WriteNotification(const SocketPtr &socket);
    void AfterReadEvent(const SocketPtr &socket);
    // The connection a read notification of this one serves: connections with data waiting
    // take turns.
    SocketPtr NextInTurn(const SocketPtr &notified) const;
    // The error event, then the close (with the disconnect event); api names the failed call,
    // or is null for an error met while handling a notification.
    void ClientFailed(const SocketPtr &socket, TErrorEvent kind, int error, const char *api);
    // The disconnect event while the socket is still open, then the close.
    void ClientClosed(const SocketPtr &socket);
    void SchedulePurge();
    void Purge();

    int FPort = 0;
    int FListenHandle = -1;
    std::unique_ptr<QSocketNotifier, TCustomWinSocket::DeleteLater> FAcceptNotifier;
    QTimer *FAcceptRetry;
    bool FAcceptErrorShown = false;
    std::vector<SocketPtr> FConnections;
    bool FReadsSuspended = false;
    bool FPurgeScheduled = false;
    // Counts read events; each connection notes the count of the last one that served it.
    quint64 FTurns = 0;
};
