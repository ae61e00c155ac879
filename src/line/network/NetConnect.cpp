#include "line/network/NetConnect.h"

#include "platform/Deadline.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

struct TAttempt {
    TNetAddress Address;
    QString Path;
    Clock::time_point Deadline;
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    // Set by the taker that gave up on it: the attempt's thread then closes what it made.
    bool Abandoned = false;
    // Set once the name is resolved. The connect and the negotiation keep to the deadline by
    // themselves and report their own reason; only a resolver that hangs is given up from outside.
    std::atomic<bool> Resolved{false};
    Clock::time_point FinishedAt;
    TResult Result = TResult::Success();
    NetConnect::TConnection Connection;
};

std::mutex attemptsMutex;
std::map<QString, std::shared_ptr<TAttempt>> attempts;

QString Where(const TAttempt &attempt)
{
    return attempt.Path;
}

TResult NoAnswer(const TAttempt &attempt)
{
    return TResult::Failure(QStringLiteral("%1: нет ответа за %2 с")
                                .arg(Where(attempt))
                                .arg(NetConnect::AttemptLimit.count()));
}

// A lost connection is noticed within about 10 s even when nothing is being sent: keepalive
// probes after 4 s of silence, every 2 s, three unanswered ones end it; data left unacknowledged
// for 10 s ends it too.
void KeepAlive(int fd)
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

TDeadline DeadlineOf(const TAttempt &attempt)
{
    const auto left = attempt.Deadline - Clock::now();
    return TDeadline(left > Clock::duration::zero() ? left : Clock::duration::zero());
}

// Connects to the first address that accepts; the socket, or -1 with the reason.
int Connect(TAttempt &attempt, TResult &result)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const QByteArray host = attempt.Address.Host.toUtf8();
    const QByteArray port = QByteArray::number(attempt.Address.Port);
    const int resolution = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    attempt.Resolved = true;
    if (const int error = resolution) {
        const QString why =
            error == EAI_SYSTEM ? ErrnoText(errno) : QString::fromLocal8Bit(::gai_strerror(error));
        result = TResult::Failure(QStringLiteral("%1: адрес сервера %2 не найден: %3")
                                      .arg(Where(attempt), attempt.Address.Host, why));
        return -1;
    }
    result = NoAnswer(attempt);
    int fd = -1;
    for (const addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            result = TResult::Failure(ErrnoReason(Where(attempt), errno));
            continue;
        }
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                if (WaitForDescriptor(fd, POLLOUT, DeadlineOf(attempt)) > 0) {
                    socklen_t size = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                }
            }
        }
        if (error == 0) {
            result = TResult::Success();
            break;
        }
        if (error == ECONNREFUSED)
            result = TResult::Failure(
                QStringLiteral("%1: сервер отклонил соединение (не слушает этот порт)")
                    .arg(Where(attempt)));
        else if (error == ETIMEDOUT)
            result = NoAnswer(attempt);
        else
            result = TResult::Failure(ErrnoReason(Where(attempt), error));
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    return fd;
}

// Sends all of bytes before the attempt's deadline; false when the connection failed or stalled.
bool SendAll(const TAttempt &attempt, int fd, const QByteArray &bytes)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(attempt.Deadline - Clock::now());
    int error = 0;
    const bool sent =
        NetConnect::Send(fd, bytes.constData(), bytes.size(),
                         std::max(left, std::chrono::milliseconds(0)), error) == bytes.size();
    errno = error != 0 ? error : ETIMEDOUT;
    return sent;
}

// The option negotiation of an RFC 2217 line: the client's offer, then the server's bytes until
// it agrees to the COM port option or refuses it.
TResult Negotiate(TAttempt &attempt, int fd)
{
    TTelnetCodec &codec = attempt.Connection.Codec;
    if (!SendAll(attempt, fd, codec.Greeting()))
        return TResult::Failure(ErrnoReason(Where(attempt), errno));
    char buffer[4096];
    while (codec.ComPort() == TTelnetCodec::TComPort::Pending) {
        const int seen = WaitForDescriptor(fd, POLLIN, DeadlineOf(attempt));
        if (seen == 0)
            return TResult::Failure(QStringLiteral("%1: сервер не ответил на RFC 2217 за %2 с")
                                        .arg(Where(attempt))
                                        .arg(NetConnect::AttemptLimit.count()));
        const ssize_t n =
            RetryOnInterrupt([&] { return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT); });
        if (n == 0)
            return TResult::Failure(
                QStringLiteral("%1: сервер закрыл соединение").arg(Where(attempt)));
        if (n < 0) {
            if (errno == EAGAIN)
                continue;
            return TResult::Failure(ErrnoReason(Where(attempt), errno));
        }
        QByteArray replies;
        codec.Decode(buffer, n, attempt.Connection.Data, replies);
        if (!replies.isEmpty() && !SendAll(attempt, fd, replies))
            return TResult::Failure(ErrnoReason(Where(attempt), errno));
    }
    if (codec.ComPort() == TTelnetCodec::TComPort::Refused)
        return TResult::Failure(
            QStringLiteral("%1: сервер отказал в управлении COM-портом (RFC 2217)")
                .arg(Where(attempt)));
    return TResult::Success();
}

void Run(const std::shared_ptr<TAttempt> &attempt)
{
    TResult result = TResult::Success();
    int fd = Connect(*attempt, result);
    if (fd >= 0) {
        KeepAlive(fd);
        if (attempt->Address.Kind == TNetAddress::TKind::Rfc2217)
            result = Negotiate(*attempt, fd);
        if (!result) {
            ::close(fd);
            fd = -1;
        }
    }
    const std::lock_guard lock(attempt->Lock);
    if (attempt->Abandoned) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    attempt->Connection.Fd = fd;
    attempt->Result = result;
    attempt->Finished = true;
    attempt->FinishedAt = Clock::now();
    attempt->Done.notify_all();
}

// Gives the attempt up: its thread closes whatever it still makes.
void Abandon(TAttempt &attempt)
{
    const std::lock_guard lock(attempt.Lock);
    attempt.Abandoned = true;
    if (attempt.Finished && attempt.Connection.Fd >= 0) {
        ::close(attempt.Connection.Fd);
        attempt.Connection.Fd = -1;
    }
}

} // namespace

namespace NetConnect
{

TResult Take(const QString &path, const TNetAddress &address, std::chrono::milliseconds patience,
             TConnection &connection)
{
    std::shared_ptr<TAttempt> attempt;
    {
        const std::lock_guard lock(attemptsMutex);
        std::shared_ptr<TAttempt> &slot = attempts[path];
        // A connection made long ago and never taken may have been closed by the server
        // meanwhile: it makes way for a new attempt.
        if (slot) {
            const std::lock_guard attemptLock(slot->Lock);
            if (slot->Finished && Clock::now() - slot->FinishedAt > AttemptLimit) {
                if (slot->Connection.Fd >= 0)
                    ::close(slot->Connection.Fd);
                slot.reset();
            }
        }
        if (!slot) {
            slot = std::make_shared<TAttempt>();
            slot->Address = address;
            slot->Path = path;
            slot->Deadline = Clock::now() + AttemptLimit;
            try {
                std::thread(Run, slot).detach();
            } catch (const std::system_error &error) {
                attempts.erase(path);
                return TResult::Failure(
                    QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(error.what())));
            }
        }
        attempt = slot;
    }

    std::unique_lock lock(attempt->Lock);
    attempt->Done.wait_for(lock, patience, [&] { return attempt->Finished; });
    const bool finished = attempt->Finished;
    const bool late = !finished && !attempt->Resolved && Clock::now() >= attempt->Deadline;
    if (!finished && !late)
        return TResult::Failure(
            QStringLiteral("%1: соединение ещё устанавливается").arg(Where(*attempt)));
    TResult result = finished
                         ? attempt->Result
                         : TResult::Failure(QStringLiteral("%1: адрес сервера не найден за %2 с")
                                                .arg(Where(*attempt))
                                                .arg(NetConnect::AttemptLimit.count()));
    if (finished) {
        connection = std::move(attempt->Connection);
        attempt->Connection.Fd = -1;
    }
    lock.unlock();
    if (late)
        Abandon(*attempt);
    const std::lock_guard registryLock(attemptsMutex);
    if (const auto it = attempts.find(path); it != attempts.end() && it->second == attempt)
        attempts.erase(it);
    return result;
}

bool Pending(const QString &path)
{
    const std::lock_guard lock(attemptsMutex);
    return attempts.count(path) != 0;
}

qsizetype Send(int fd, const char *bytes, qsizetype size, std::chrono::milliseconds stall,
               int &error)
{
    error = 0;
    qsizetype sent = 0;
    TDeadline patience(stall);
    while (sent < size) {
        const ssize_t n = RetryOnInterrupt([&] {
            return ::send(fd, bytes + sent, size_t(size - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (n > 0) {
            sent += n;
            patience = TDeadline(stall);
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            error = errno;
            break;
        }
        if (WaitForDescriptor(fd, POLLOUT, patience) <= 0)
            break;
    }
    return sent;
}

} // namespace NetConnect
