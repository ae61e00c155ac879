// One accepted client connection of the TCP endpoint (TServerSocket).
#pragma once

#include <QByteArray>

#include <memory>

class QObject;
class QSocketNotifier;
class TServerSocket;

// Connections are created, listed and closed by their TServerSocket; the event handlers receive
// them as plain pointers that are valid for the duration of the handler call.
class TCustomWinSocket : public std::enable_shared_from_this<TCustomWinSocket>
{
public:
    ~TCustomWinSocket();
    TCustomWinSocket(const TCustomWinSocket &) = delete;
    TCustomWinSocket &operator=(const TCustomWinSocket &) = delete;

    // The socket's file descriptor; -1 once the connection is closed.
    int SocketHandle() const { return FHandle; }
    bool Connected() const { return FHandle >= 0; }

    // Bytes that can be read at once; 0 if the connection is closed or the query fails.
    int ReceiveLength() const;
    // Receives once, at most count bytes and no more than are waiting. Returns the bytes stored,
    // 0 if the connection is closed (or the peer has closed its side), -1 on would-block. Any
    // other failure fires the client-error event (eeReceive), closes the connection (with the
    // client-disconnect event) and returns -1, or raises the "recv" socket error if the error
    // handler left a non-zero code.
    int ReceiveBuf(char *buf, int count);
    // Sends count bytes. What the socket cannot take at once is queued and sent in order as soon
    // as the socket can take more, so the result is count (0 if the connection is closed). The
    // data come from a serial line, far slower than a local reader, so the queue only grows
    // while the client stops reading; beyond SendQueueLimit the client counts as failed. A
    // failing send, or one that would take the queue over the limit (ENOBUFS), fires the
    // client-error event (eeSend), closes the connection (client-disconnect event) and returns -1,
    // or raises the "send" socket error if the error handler left a non-zero code.
    int SendBuf(const char *buf, int count);
    static constexpr qsizetype SendQueueLimit = qsizetype(4) << 20;
    // Bytes taken by SendBuf that the socket has not accepted yet.
    qsizetype PendingSendLength() const { return FSendQueue.size() - FSendHead; }

private:
    friend class TServerSocket;
    struct DeleteLater {
        void operator()(QObject *object) const;
    };
    using NotifierPtr = std::unique_ptr<QSocketNotifier, DeleteLater>;

    TCustomWinSocket(TServerSocket *server, int handle);
    // Sends queued bytes until the queue is empty or the socket is full; 0 or the error number.
    int FlushSendQueue();
    // Stops notifications and closes the descriptor; 0 or the close error number.
    int CloseHandle();
    void SetReadEnabled(bool enabled);

    TServerSocket *FServer;
    int FHandle;
    NotifierPtr FReadNotifier;
    NotifierPtr FWriteNotifier;
    QByteArray FSendQueue;
    qsizetype FSendHead = 0;
    // Read notifications are held back while the endpoint's reads are suspended.
    bool FReadParked = false;
    // The endpoint's read-event count when this connection was last served (0: never).
    quint64 FServedTurn = 0;
};
