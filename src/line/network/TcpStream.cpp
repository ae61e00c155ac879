#include "line/network/TcpStream.h"

#include "line/network/NetConnect.h"
#include "platform/Deadline.h"

#include <cerrno>
#include <thread>

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// The most a close's discard takes from the socket in one read.
constexpr int DiscardChunk = 4096;

} // namespace

// Keepalive probes after 4 s of silence, every 2 s, three unanswered ones end it; data left
// unacknowledged for 10 s ends it too.
void TTcpStream::KeepAlive(int fd)
{
    const int on = 1;
    const int idle = 4;
    const int interval = 2;
    const int count = 3;
    const unsigned userTimeoutMs = 10000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    // Requests and replies are small: each goes out at once.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void TTcpStream::TFreeAddresses::operator()(addrinfo *addresses) const
{
    ::freeaddrinfo(addresses);
}

TResultOf<TTcpStream::TAddresses> TTcpStream::Resolve(const QString &where,
                                                      const TNetAddress &address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const QByteArray host = address.Host.toUtf8();
    const QByteArray port = QByteArray::number(address.Port);
    if (const int error = ::getaddrinfo(host.constData(), port.constData(), &hints, &found)) {
        const QString why =
            error == EAI_SYSTEM ? ErrnoText(errno) : QString::fromLocal8Bit(::gai_strerror(error));
        return TResult::Failure(
            error == EAI_AGAIN ? TFault::TimedOut : TFault::NotFound,
            QStringLiteral("%1: адрес сервера %2 не найден: %3").arg(where, address.Host, why));
    }
    return TAddresses(found);
}

TResultOf<std::unique_ptr<TByteStream>>
TTcpStream::Connect(const QString &where, const TAddresses &addresses, const TDeadline &deadline)
{
    const TResult noAnswer = TResult::Failure(
        TFault::TimedOut,
        QStringLiteral("%1: нет ответа за %2 с").arg(where).arg(NetConnect::AttemptLimit.count()));
    TResult result = noAnswer;
    for (const addrinfo *a = addresses.get(); a != nullptr; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            result = TResult::FromErrno(where, errno);
            continue;
        }
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                if (WaitForDescriptor(fd, POLLOUT, deadline) > 0) {
                    socklen_t size = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                }
            }
        }
        if (error == 0) {
            KeepAlive(fd);
            return std::unique_ptr<TByteStream>(new TTcpStream(where, fd));
        }
        if (error == ECONNREFUSED)
            result = TResult::Failure(
                TFault::Refused,
                QStringLiteral("%1: сервер отклонил соединение (не слушает этот порт)").arg(where));
        else if (error == ETIMEDOUT)
            result = noAnswer;
        else
            result = TResult::FromErrno(where, error);
        ::close(fd);
    }
    return result;
}

TTcpStream::~TTcpStream()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TTcpStream::LostBy(int error)
{
    SetLost(TResult::FromErrno(FWhere, error));
}

qsizetype TTcpStream::Receive(char *buffer, qsizetype size)
{
    if (Lost() || size <= 0)
        return 0;
    const ssize_t n =
        RetryOnInterrupt([&] { return ::recv(FFd, buffer, size_t(size), MSG_DONTWAIT); });
    if (n > 0)
        return n;
    if (n == 0)
        SetLost(TResult::Failure(TFault::Lost,
                                 QStringLiteral("%1: сервер закрыл соединение").arg(FWhere)));
    else if (errno != EAGAIN)
        LostBy(errno);
    return 0;
}

qsizetype TTcpStream::Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall)
{
    qsizetype sent = 0;
    TDeadline patience(stall);
    while (sent < size && !Lost()) {
        const ssize_t n = RetryOnInterrupt([&] {
            return ::send(FFd, bytes + sent, size_t(size - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (n > 0) {
            sent += n;
            patience = TDeadline(stall);
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            LostBy(errno);
            break;
        }
        if (WaitForDescriptor(FFd, POLLOUT, patience) <= 0)
            break;
    }
    return sent;
}

void TTcpStream::Drain(std::chrono::milliseconds drain) const
{
    const TDeadline acknowledged(drain);
    for (;;) {
        int unacknowledged = 0;
        if (Lost() || ::ioctl(FFd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 0 ||
            acknowledged.Expired())
            return;
        std::this_thread::sleep_for(5ms);
    }
}

int TTcpStream::Release()
{
    const int fd = FFd;
    FFd = -1;
    return fd;
}

void TTcpStream::Close(std::chrono::milliseconds drain)
{
    if (FFd < 0)
        return;
    Drain(drain);
    char discard[DiscardChunk];
    while (RetryOnInterrupt([&] { return ::recv(FFd, discard, sizeof discard, MSG_DONTWAIT); }) >
           0) {
    }
    ::close(Release());
}
