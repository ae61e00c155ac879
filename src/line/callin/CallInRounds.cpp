// The listener's thread: one round waits for its sockets, callers and waiting devices, serves
// what is ready under the lock, and looks at the time limits.
#include "line/callin/CallInRecords.h"
#include "line/callin/Registration.h"
#include "line/network/TcpStream.h"
#include "platform/Deadline.h"
#include "platform/TickClock.h"

#include <QTime>

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

constexpr std::uint32_t RegistrationMs =
    std::uint32_t(std::chrono::milliseconds(TCallInListener::RegistrationLimit).count());
constexpr std::uint32_t SettleMs = std::uint32_t(TCallInListener::SettleQuiet.count());
// How often the thread looks at the time limits while callers are unregistered or a burst is
// being counted, in tick-clock milliseconds.
constexpr std::uint32_t SweepMs = 100;
// The most a round takes from one waiting device, so that a device that keeps sending cannot
// hold the thread.
constexpr int WaitingReads = 16;
// The most callers one round accepts from one socket.
constexpr int AcceptsPerRound = 64;

QString Now()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
}

} // namespace

void TCallInListener::Run()
{
    enum class TKind { Socket, Caller, Waiting };
    struct TTarget {
        TKind Kind;
        QString Key;
        const void *Caller;
    };
    std::vector<pollfd> polled;
    std::vector<TTarget> targets;
    while (!FStop) {
        polled.assign(1, pollfd{FWake, POLLIN, 0});
        targets.clear();
        bool timed = false;
        {
            const std::lock_guard lock(FLock);
            for (const auto &[key, socket] : FSockets) {
                timed = timed || socket->Paused;
                if (socket->Fd >= 0 && !socket->Paused) {
                    polled.push_back({socket->Fd, POLLIN, 0});
                    targets.push_back({TKind::Socket, key, nullptr});
                }
            }
            for (const auto &caller : FCallers) {
                polled.push_back({caller->Fd, POLLIN, 0});
                targets.push_back({TKind::Caller, {}, caller.get()});
            }
            for (const auto &[path, line] : FLines) {
                if (line->WaitingFd >= 0) {
                    polled.push_back({line->WaitingFd, POLLIN, 0});
                    targets.push_back({TKind::Waiting, path, nullptr});
                }
            }
            timed = timed || !FCallers.empty() || !FRefusals.Empty() || !FCallLog.Empty();
        }
        const int timeout =
            timed ? std::max(1, int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        TickClock::RealDuration(SweepMs))
                                        .count()))
                  : -1;
        const int seen =
            RetryOnInterrupt([&] { return ::poll(polled.data(), polled.size(), timeout); });
        if (seen < 0) {
            // Out of memory for the wait: try again in a moment rather than at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (polled[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(FWake, &count, sizeof count);
        }
        {
            const std::lock_guard lock(FLock);
            for (std::size_t i = 1; i < polled.size(); ++i) {
                if (polled[i].revents == 0)
                    continue;
                const TTarget &target = targets[i - 1];
                // What the lock was released for may have changed: act only on what still is.
                if (target.Kind == TKind::Socket) {
                    TSocket *socket = SocketOf(target.Key);
                    if (socket != nullptr && socket->Fd == polled[i].fd)
                        Accept(*socket);
                } else if (target.Kind == TKind::Caller) {
                    const auto it =
                        std::find_if(FCallers.begin(), FCallers.end(),
                                     [&](const auto &c) { return c.get() == target.Caller; });
                    if (it == FCallers.end())
                        continue;
                    bool done = false;
                    ReadCaller(**it, done);
                    if (done)
                        FCallers.erase(it);
                } else if (const auto it = FLines.find(target.Key);
                           it != FLines.end() && it->second->WaitingFd == polled[i].fd) {
                    ReadWaiting(*it->second);
                }
            }
            Sweep();
        }
        Emit();
    }
}

TCallInListener::TSocket *TCallInListener::SocketOf(const QString &key)
{
    const auto it = FSockets.find(key);
    return it == FSockets.end() ? nullptr : it->second.get();
}

void TCallInListener::Accept(TSocket &socket)
{
    for (int round = 0; round < AcceptsPerRound; ++round) {
        auto caller = std::make_unique<TCaller>();
        socklen_t size = sizeof caller->Address;
        caller->Fd = RetryOnInterrupt([&] {
            return ::accept4(socket.Fd, reinterpret_cast<sockaddr *>(&caller->Address), &size,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
        });
        if (caller->Fd < 0) {
            if (errno == ECONNABORTED)
                continue; // gone before it was taken
            if (errno == EAGAIN)
                return; // none left
            // The system cannot take more now (descriptors, memory): the socket rests a second.
            const QString error = ErrnoText(errno);
            if (error != socket.AcceptError)
                FOut
                    << QStringLiteral("Не удалось принять звонок на %1: %2").arg(socket.Key, error);
            socket.AcceptError = error;
            socket.Paused = true;
            socket.PausedAt = TickClock::Now();
            return;
        }
        socket.AcceptError.clear();
        const auto &address = reinterpret_cast<const sockaddr &>(caller->Address);
        caller->From = CallerAddressText(address);
        const bool admitted = std::any_of(FLines.begin(), FLines.end(), [&](const auto &l) {
            return l.second->Socket == socket.Key && l.second->Options.Admits(address);
        });
        if (!admitted || int(FCallers.size()) >= MaxUnregistered) {
            ::close(caller->Fd);
            Refuse(socket, caller->From,
                   admitted ? QStringLiteral("слишком много звонков без регистрации")
                            : QStringLiteral("адрес не разрешён (from=)"));
            continue;
        }
        TTcpStream::KeepAlive(caller->Fd);
        caller->Socket = socket.Key;
        caller->Accepted = caller->LastByte = TickClock::Now();
        bool done = false;
        Decide(*caller, TJudging::AsItStands, done);
        if (!done)
            FCallers.push_back(std::move(caller));
    }
}

void TCallInListener::ReadCaller(TCaller &caller, bool &done)
{
    // Never more than one byte past the longest registration: what follows it stays in the
    // socket, for the line's count.
    char buffer[TCallInOptions::MaxRegistration + 1];
    const qsizetype wanted = qsizetype(sizeof buffer) - caller.Collected.size();
    const ssize_t n = RetryOnInterrupt([&] {
        return ::recv(caller.Fd, buffer, size_t(std::max<qsizetype>(wanted, 1)), MSG_DONTWAIT);
    });
    if (n > 0) {
        caller.Collected.append(buffer, n);
        caller.LastByte = TickClock::Now();
        Decide(caller, TJudging::AsItStands, done);
        return;
    }
    if (n < 0 && errno == EAGAIN)
        return;
    // It has said all it will: what it sent is judged as it stands, then it is let go unless
    // that made it a line's device (whose own watch then sees it leave).
    Decide(caller, TJudging::Settled, done);
    if (done)
        return;
    ::close(caller.Fd);
    caller.Fd = -1;
    done = true;
}

void TCallInListener::Decide(TCaller &caller, TJudging judging, bool &done)
{
    std::vector<TLine *> lines;
    for (const auto &[path, line] : FLines) {
        if (line->Socket == caller.Socket)
            lines.push_back(line.get());
    }
    std::sort(lines.begin(), lines.end(),
              [](const TLine *a, const TLine *b) { return a->Order < b->Order; });
    QList<QByteArray> ids;
    std::vector<TLine *> byId;
    TLine *anonymous = nullptr;
    for (TLine *line : lines) {
        if (line->Options.Id) {
            ids << *line->Options.Id;
            byId.push_back(line);
        } else if (anonymous == nullptr) {
            anonymous = line;
        }
    }
    const TRegistration::TDecision decision =
        TRegistration(ids, anonymous != nullptr)
            .Judge(caller.Collected, judging != TJudging::AsItStands);
    if (judging == TJudging::Settled && decision.Verdict == TRegistration::TVerdict::Refused)
        return;
    TLine *line = nullptr;
    switch (decision.Verdict) {
    case TRegistration::TVerdict::Waiting:
        return;
    case TRegistration::TVerdict::Matched:
        line = byId[size_t(decision.Line)];
        break;
    case TRegistration::TVerdict::Anonymous:
        line = anonymous;
        break;
    case TRegistration::TVerdict::Refused:
        break;
    }
    done = true;
    const auto &address = reinterpret_cast<const sockaddr &>(caller.Address);
    TSocket *socket = SocketOf(caller.Socket);
    if (line != nullptr && line->Options.Admits(address)) {
        Assign(*line, caller, caller.Collected.size() - decision.Consumed);
        return;
    }
    ::close(caller.Fd);
    caller.Fd = -1;
    if (socket == nullptr)
        return;
    const bool unknown =
        ids.isEmpty() || std::none_of(ids.begin(), ids.end(), [&](const QByteArray &id) {
            return id.startsWith(caller.Collected);
        });
    Refuse(*socket, caller.From,
           line != nullptr ? QStringLiteral("адрес не разрешён (from=)")
           : unknown       ? QStringLiteral("неизвестный id")
                     : QStringLiteral("нет регистрации за %1 с").arg(RegistrationLimit.count()));
}

void TCallInListener::Assign(TLine &line, TCaller &caller, qsizetype extra)
{
    const bool again = line.WaitingFd >= 0 || (line.InUseFd >= 0 && !line.Replaced);
    // A router that lost its bearer leaves a half-open connection behind: the new call replaces
    // it, and a link on the old one sees its line lost.
    if (line.WaitingFd >= 0)
        ::close(line.WaitingFd);
    if (line.InUseFd >= 0 && !line.Replaced) {
        ::shutdown(line.InUseFd, SHUT_RDWR);
        line.Replaced = true;
    }
    line.WaitingFd = caller.Fd;
    line.WaitingCall = ++FCalls;
    line.Discarded = extra;
    caller.Fd = -1;
    const auto &address = reinterpret_cast<const sockaddr &>(caller.Address);
    const std::uint16_t port = ntohs(address.sa_family == AF_INET6
                                         ? reinterpret_cast<const sockaddr_in6 &>(address).sin6_port
                                         : reinterpret_cast<const sockaddr_in &>(address).sin_port);
    line.LastFrom = (caller.From.contains(u':') ? u'[' + caller.From + u']' : caller.From) + u':' +
                    QString::number(port);
    line.LastCallAt = Now();
    if (FCallLog.Add(line.Name + QStringLiteral(" позвонил"), TickClock::Now()).second)
        FOut << (again
                     ? QStringLiteral("%1: прибор позвонил снова с %2, прежнее соединение закрыто")
                     : QStringLiteral("%1: прибор позвонил с %2"))
                    .arg(line.Name, line.LastFrom);
    FChanged = true;
}

void TCallInListener::Refuse(TSocket &socket, const QString &source, const QString &reason)
{
    socket.LastRefusal = QStringLiteral("%1 с %2 в %3").arg(reason, source, Now());
    const auto [counted, first] = FRefusals.Add(socket.Key + u' ' + source, TickClock::Now());
    if (!first)
        return;
    FOut << (counted == QLatin1String("*")
                 ? QStringLiteral("Отклонён звонок на %1 с %2: %3 (звонков с других адресов так "
                                  "много, что дальше они считаются вместе)")
                 : QStringLiteral("Отклонён звонок на %1 с %2: %3"))
                .arg(socket.Key, source, reason);
}

void TCallInListener::ReadWaiting(TLine &line)
{
    char buffer[4096];
    for (int round = 0; round < WaitingReads; ++round) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::recv(line.WaitingFd, buffer, sizeof buffer, MSG_DONTWAIT); });
        if (n > 0) {
            line.Discarded += n;
            continue;
        }
        if (n < 0 && errno == EAGAIN)
            return;
        // Ended by the device, reset, or silent past its keepalive.
        ::close(line.WaitingFd);
        line.WaitingFd = -1;
        line.Discarded = 0;
        if (FCallLog.Add(line.Name + QStringLiteral(" отключился"), TickClock::Now()).second)
            FOut << QStringLiteral("%1: прибор отключился").arg(line.Name);
        FChanged = true;
        return;
    }
}

void TCallInListener::Sweep()
{
    const std::uint32_t now = TickClock::Now();
    for (auto it = FCallers.begin(); it != FCallers.end();) {
        TCaller &caller = **it;
        bool done = false;
        // Quiet long enough, bytes that already name a line, or a line that takes callers
        // without a registration, decide it; otherwise it has until its time runs out.
        if (now - caller.Accepted >= RegistrationMs)
            Decide(caller, TJudging::TimeUp, done);
        else if (now - caller.LastByte >= SettleMs)
            Decide(caller, TJudging::Settled, done);
        it = done ? FCallers.erase(it) : std::next(it);
    }
    for (const auto &[key, count] : FCallLog.Due(now)) {
        // "<port> позвонил" or "<port> отключился"
        const qsizetype blank = key.indexOf(u' ');
        FOut << (key == QLatin1String("*")
                     ? QStringLiteral("Звонков и отключений приборов ещё: %1").arg(count)
                     : QStringLiteral("%1: прибор %2 ещё раз: %3")
                           .arg(key.left(blank), key.mid(blank + 1) == QStringLiteral("позвонил")
                                                     ? QStringLiteral("звонил")
                                                     : QStringLiteral("отключался"))
                           .arg(count));
    }
    for (auto &[key, socket] : FSockets) {
        if (socket->Paused && now - socket->PausedAt >= 1000)
            socket->Paused = false;
    }
    for (const auto &[key, count] : FRefusals.Due(now)) {
        const qsizetype blank = key.indexOf(u' ');
        FOut << (key == QLatin1String("*")
                     ? QStringLiteral("Отклонено ещё звонков с других адресов: %1").arg(count)
                     : QStringLiteral("Отклонено ещё звонков на %1 с %2: %3")
                           .arg(key.left(blank), key.mid(blank + 1))
                           .arg(count));
    }
}
