#include "endpoint/TCustomWinSocket.h"

#include "endpoint/SocketError.h"
#include "endpoint/TServerSocket.h"
#include "platform/Deadline.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// Sent bytes are dropped from the queue's front only once this many have gone, to keep the
// cost of moving the rest low.
constexpr qsizetype COMPACT_THRESHOLD = 256 * 1024;
} // namespace

void TCustomWinSocket::DeleteLater::operator()(QObject *object) const
{
    // A notifier may be released while it is delivering its own notification.
    object->deleteLater();
}

TCustomWinSocket::TCustomWinSocket(TServerSocket *server, int handle)
    : FServer(server), FHandle(handle),
      FReadNotifier(new QSocketNotifier(handle, QSocketNotifier::Read)),
      FWriteNotifier(new QSocketNotifier(handle, QSocketNotifier::Write))
{
    FWriteNotifier->setEnabled(false);
}

TCustomWinSocket::~TCustomWinSocket()
{
    if (CloseHandle() != 0)
        qWarning("TCustomWinSocket: closing a client socket failed");
}

int TCustomWinSocket::ReceiveLength() const
{
    if (!Connected())
        return 0;
    int waiting = 0;
    if (::ioctl(FHandle, FIONREAD, &waiting) != 0 || waiting < 0)
        return 0;
    return waiting;
}

int TCustomWinSocket::ReceiveBuf(char *buf, int count)
{
    if (!Connected() || count <= 0)
        return 0;
    const int waiting = ReceiveLength();
    if (waiting > 0 && waiting < count)
        count = waiting;
    const ssize_t got = RetryOnInterrupt(
        [&] { return ::recv(FHandle, buf, static_cast<size_t>(count), MSG_DONTWAIT); });
    if (got >= 0)
        return static_cast<int>(got);
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return -1;
    FServer->ClientFailed(shared_from_this(), eeReceive, error, "recv");
    return -1;
}

int TCustomWinSocket::SendBuf(const char *buf, int count)
{
    if (!Connected())
        return 0;
    if (count <= 0)
        return 0;
    qsizetype taken = 0;
    if (PendingSendLength() == 0) {
        ssize_t sent = RetryOnInterrupt([&] {
            return ::send(FHandle, buf, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        });
        if (sent < 0) {
            const int error = errno;
            if (error != EAGAIN && error != EWOULDBLOCK) {
                FServer->ClientFailed(shared_from_this(), eeSend, error, "send");
                return -1;
            }
            sent = 0;
        }
        taken = sent;
    }
    if (taken < count) {
        // A client that never reads would otherwise hold every byte of the link in memory.
        if (PendingSendLength() + (count - taken) > SendQueueLimit) {
            FServer->ClientFailed(shared_from_this(), eeSend, ENOBUFS, "send");
            return -1;
        }
        FSendQueue.append(buf + taken, count - taken);
        FWriteNotifier->setEnabled(true);
    }
    return count;
}

int TCustomWinSocket::FlushSendQueue()
{
    while (Connected() && PendingSendLength() > 0) {
        const ssize_t sent = RetryOnInterrupt([this] {
            return ::send(FHandle, FSendQueue.constData() + FSendHead,
                          static_cast<size_t>(PendingSendLength()), MSG_DONTWAIT | MSG_NOSIGNAL);
        });
        if (sent < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK)
                break;
            return error;
        }
        FSendHead += sent;
    }
    if (PendingSendLength() == 0) {
        FSendQueue.clear();
        FSendHead = 0;
        if (FWriteNotifier)
            FWriteNotifier->setEnabled(false);
    } else if (FSendHead >= COMPACT_THRESHOLD && FSendHead * 2 >= FSendQueue.size()) {
        FSendQueue.remove(0, FSendHead);
        FSendHead = 0;
    }
    return 0;
}

int TCustomWinSocket::CloseHandle()
{
    if (FHandle < 0)
        return 0;
    // Notifiers must stop watching the descriptor before its number can be reused.
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    FSendQueue.clear();
    FSendHead = 0;
    const int handle = FHandle;
    FHandle = -1;
    // Linux releases the descriptor even when close reports an error, so EINTR is no failure.
    if (::close(handle) != 0 && errno != EINTR)
        return errno;
    return 0;
}

void TCustomWinSocket::SetReadEnabled(bool enabled)
{
    if (Connected())
        FReadNotifier->setEnabled(enabled);
}
