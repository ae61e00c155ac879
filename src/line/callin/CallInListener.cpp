#include "line/callin/CallInListener.h"

#include "line/SerialLine.h"
#include "line/callin/Registration.h"
#include "line/network/TcpStream.h"
#include "platform/Deadline.h"
#include "platform/TickClock.h"

#include <QTime>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

std::atomic<TCallInListener *> current{nullptr};

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

// A socket listening at the address; -1 with the reason.
int Listen(const TNetAddress &address, QString &error)
{
    sockaddr_storage storage{};
    socklen_t size = 0;
    const QByteArray host = address.Host.toLatin1();
    auto &in4 = reinterpret_cast<sockaddr_in &>(storage);
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(storage);
    if (::inet_pton(AF_INET, host.constData(), &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        in4.sin_port = htons(address.Port);
        size = sizeof in4;
    } else if (::inet_pton(AF_INET6, host.constData(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(address.Port);
        size = sizeof in6;
    } else {
        error = QStringLiteral("это не адрес");
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&storage), size) != 0 ||
        ::listen(fd, TCallInListener::MaxUnregistered) != 0) {
        const int reason = errno;
        error = ErrnoText(reason);
        if (reason == EACCES && address.Port < 1024)
            error += QStringLiteral(" (порты ниже 1024 открыты только для root)");
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

struct TCallInListener::TSocket {
    QString Key; // "address:port"
    int Fd = -1;
    QString Error; // why it does not listen
    QString LastRefusal;
    // Left out of the wait for a while after the system refused an accept (no descriptors or
    // memory left), which it would otherwise report at once again and again.
    bool Paused = false;
    std::uint32_t PausedAt = 0;
    QString AcceptError; // the last one logged; cleared by an accept that works
};

struct TCallInListener::TCaller {
    int Fd = -1;
    QString Socket;
    sockaddr_storage Address{};
    QString From;
    std::uint32_t Accepted = 0;
    std::uint32_t LastByte = 0;
    QByteArray Collected;
};

struct TCallInListener::TLine {
    QString Name;
    QString Path;
    int Order = 0;
    TCallInSpec Spec;
    QString Socket;
    // The device's connection while it waits for a link.
    int WaitingFd = -1;
    std::uint64_t WaitingCall = 0;
    qint64 Discarded = 0;
    // The connection a link has taken; Replaced once the device has called again meanwhile.
    int InUseFd = -1;
    std::uint64_t InUseCall = 0;
    bool Replaced = false;
    QString LastFrom;
    QString LastCallAt;
};

TCallInListener::TCallInListener(QObject *parent) : QObject(parent)
{
    FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWake < 0)
        FWakeError = QStringLiteral("приём звонков не запущен: %1").arg(ErrnoText(errno));
    TCallInListener *none = nullptr;
    current.compare_exchange_strong(none, this);
}

TCallInListener::~TCallInListener()
{
    TCallInListener *self = this;
    current.compare_exchange_strong(self, nullptr);
    FStop = true;
    Wake();
    if (FThread.joinable())
        FThread.join();
    for (const auto &[key, socket] : FSockets) {
        if (socket->Fd >= 0)
            ::close(socket->Fd);
    }
    for (const auto &caller : FCallers)
        ::close(caller->Fd);
    for (const auto &[path, line] : FLines) {
        if (line->WaitingFd >= 0)
            ::close(line->WaitingFd);
    }
    if (FWake >= 0)
        ::close(FWake);
}

TCallInListener *TCallInListener::Current()
{
    return current;
}

void TCallInListener::Wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWake, &one, sizeof one);
}

void TCallInListener::Follow(const QList<TPort> &ports)
{
    if (FWake < 0) {
        // Without its wake-up the thread could not hear of changes: nothing listens.
        for (const TPort &port : ports) {
            if (TCallInSpec::Parse(port.Path))
                qWarning("%s: %s", qUtf8Printable(port.Name), qUtf8Printable(FWakeError));
        }
        return;
    }
    {
        const std::lock_guard lock(FLock);
        std::map<QString, std::unique_ptr<TLine>> lines;
        QList<TLine *> added;
        for (int i = 0; i < ports.size(); ++i) {
            const std::optional<TCallInSpec> spec = TCallInSpec::Parse(ports.at(i).Path);
            if (!spec || lines.count(ports.at(i).Path) != 0)
                continue;
            std::unique_ptr<TLine> line;
            if (const auto it = FLines.find(ports.at(i).Path); it != FLines.end()) {
                line = std::move(it->second);
                FLines.erase(it);
            } else {
                line = std::make_unique<TLine>();
                line->Path = ports.at(i).Path;
                line->Spec = *spec;
                line->Socket = spec->Bind.HostAndPort();
                added << line.get();
            }
            line->Name = ports.at(i).Name;
            line->Order = i;
            lines[line->Path] = std::move(line);
        }
        // Lines gone from the map: their waiting devices are let go. A link that has a device's
        // connection keeps it; it is closed when it comes back.
        for (const auto &[path, line] : FLines) {
            if (line->WaitingFd >= 0) {
                ::close(line->WaitingFd);
                FChanged = true;
            }
        }
        FLines = std::move(lines);

        // One socket for each address and port in use; callers on a socket gone are let go.
        for (auto it = FSockets.begin(); it != FSockets.end();) {
            const QString &key = it->first;
            const bool used = std::any_of(FLines.begin(), FLines.end(),
                                          [&](const auto &l) { return l.second->Socket == key; });
            if (used) {
                ++it;
                continue;
            }
            std::erase_if(FCallers, [&](const std::unique_ptr<TCaller> &caller) {
                if (caller->Socket != key)
                    return false;
                ::close(caller->Fd);
                return true;
            });
            if (it->second->Fd >= 0)
                ::close(it->second->Fd);
            it = FSockets.erase(it);
        }
        // A socket that could not listen is tried again: the address may be free by now.
        std::vector<QString> cameUp;
        for (const auto &[path, line] : FLines) {
            std::unique_ptr<TSocket> &socket = FSockets[line->Socket];
            if (!socket) {
                socket = std::make_unique<TSocket>();
                socket->Key = line->Socket;
            }
            if (socket->Fd < 0) {
                socket->Fd = Listen(line->Spec.Bind, socket->Error);
                if (socket->Fd >= 0)
                    cameUp.push_back(socket->Key);
            }
        }
        // What starts is said once for each line; a failure to listen once for each new line.
        // The log window may be hidden (it keeps no lines then): a failure and a warning go to
        // the program's error output as well.
        for (const auto &[path, line] : FLines) {
            const TSocket &socket = *FSockets[line->Socket];
            const bool isNew = std::find(added.begin(), added.end(), line.get()) != added.end();
            if (socket.Fd < 0) {
                if (isNew) {
                    FOut << QStringLiteral("%1: не удалось слушать %2: %3")
                                .arg(line->Name, line->Socket, socket.Error);
                    qWarning("%s", qUtf8Printable(FOut.back()));
                }
                continue;
            }
            if (!isNew && std::find(cameUp.begin(), cameUp.end(), socket.Key) == cameUp.end())
                continue;
            FOut << QStringLiteral("%1: ждём звонка прибора на %2").arg(line->Name, line->Socket);
            if (!line->Spec.Id && line->Spec.From.isEmpty()) {
                FOut << QStringLiteral("%1: в строке нет ни id=, ни from=: позвонить на %2 может "
                                       "кто угодно из сети")
                            .arg(line->Name, line->Socket);
                qWarning("%s", qUtf8Printable(FOut.back()));
            }
        }
        if (!FSockets.empty() && !FThread.joinable())
            FThread = std::thread(&TCallInListener::Run, this);
    }
    Wake();
    Emit();
}

TResultOf<TCallInListener::TCall> TCallInListener::Take(const QString &path)
{
    TResultOf<TCall> taken = TResult::Failure(
        TFault::NotFound, QStringLiteral("%1: приём звонков для этой линии не запущен").arg(path));
    {
        const std::lock_guard lock(FLock);
        const auto it = FLines.find(path);
        if (it != FLines.end()) {
            TLine &line = *it->second;
            if (line.WaitingFd < 0) {
                taken = TResult::Failure(TFault::NotFound, WhyAbsentLocked(line));
            } else {
                taken = TCall{line.WaitingFd, line.WaitingCall, line.Spec.Heartbeat};
                if (line.Discarded > 0)
                    FOut << QStringLiteral("%1: отброшено байт, полученных от прибора до "
                                           "подключения: %2")
                                .arg(line.Name)
                                .arg(line.Discarded);
                line.InUseFd = line.WaitingFd;
                line.InUseCall = line.WaitingCall;
                line.Replaced = false;
                line.WaitingFd = -1;
                line.Discarded = 0;
            }
        }
    }
    Wake();
    Emit();
    return taken;
}

void TCallInListener::GiveBack(const QString &path, std::uint64_t number, int fd, bool alive)
{
    {
        const std::lock_guard lock(FLock);
        const auto it = FLines.find(path);
        if (it != FLines.end() && it->second->InUseFd == fd && it->second->InUseCall == number) {
            TLine &line = *it->second;
            line.InUseFd = -1;
            if (alive && !line.Replaced && line.WaitingFd < 0) {
                line.WaitingFd = fd;
                line.WaitingCall = number;
                line.Discarded = 0;
                fd = -1;
            }
            FChanged = true;
        }
        if (fd >= 0)
            ::close(fd);
    }
    Wake();
    Emit();
}

bool TCallInListener::IsPresent(const QString &path) const
{
    bool inLink = false;
    {
        const std::lock_guard lock(FLock);
        const TLine *line = LineOf(path);
        if (line == nullptr)
            return false;
        // A link that has the device's connection decides: once that connection is lost or
        // replaced by a new call, the port is gone for the link until it lets the old one go,
        // and its reopen then takes the new call.
        if (line->InUseFd < 0)
            return line->WaitingFd >= 0;
        inLink = !line->Replaced;
    }
    return inLink && !SerialLines::IsLost(path);
}

QString TCallInListener::Describe(const QString &path) const
{
    const std::lock_guard lock(FLock);
    const TLine *line = LineOf(path);
    if (line == nullptr || line->LastFrom.isEmpty())
        return path;
    return QStringLiteral("Прибор, позвонивший с %1").arg(line->LastFrom);
}

QString TCallInListener::WhyAbsent(const QString &path) const
{
    const std::lock_guard lock(FLock);
    const TLine *line = LineOf(path);
    return line != nullptr
               ? WhyAbsentLocked(*line)
               : QStringLiteral("%1: приём звонков для этой линии не запущен").arg(path);
}

QString TCallInListener::WhyAbsentLocked(const TLine &line) const
{
    const auto socket = FSockets.find(line.Socket);
    if (socket == FSockets.end() || socket->second->Fd < 0)
        return QStringLiteral("%1: не слушаем %2: %3")
            .arg(line.Name, line.Socket,
                 socket == FSockets.end() ? QString() : socket->second->Error);
    if (line.InUseFd >= 0 && !line.Replaced)
        return QStringLiteral("%1: прибор на связи в другом подключении").arg(line.Name);
    QString text = line.LastFrom.isEmpty()
                       ? QStringLiteral("%1: ждём звонка прибора на %2, прибор ещё не звонил")
                             .arg(line.Name, line.Socket)
                       : QStringLiteral("%1: ждём звонка прибора на %2; прибор звонил с %3 в %4 "
                                        "и отключился")
                             .arg(line.Name, line.Socket, line.LastFrom, line.LastCallAt);
    if (!socket->second->LastRefusal.isEmpty())
        text += QStringLiteral("; последний отказ: %1").arg(socket->second->LastRefusal);
    return text;
}

const TCallInListener::TLine *TCallInListener::LineOf(const QString &path) const
{
    const auto it = FLines.find(path);
    return it == FLines.end() ? nullptr : it->second.get();
}

void TCallInListener::Emit()
{
    QStringList out;
    bool changed = false;
    {
        const std::lock_guard lock(FLock);
        out.swap(FOut);
        std::swap(changed, FChanged);
    }
    for (const QString &message : out)
        emit Log(message);
    if (changed)
        emit DevicesChanged();
}

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
            return l.second->Socket == socket.Key && l.second->Spec.Admits(address);
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
    char buffer[TCallInSpec::MaxRegistration + 1];
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
        if (line->Spec.Id) {
            ids << *line->Spec.Id;
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
    if (line != nullptr && line->Spec.Admits(address)) {
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
                           .arg(key.left(blank), key.mid(blank + 1) == QLatin1String("позвонил")
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
