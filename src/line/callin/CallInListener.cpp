#include "line/callin/CallInListener.h"

#include "line/SerialLine.h"
#include "line/callin/CallInRecords.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

std::atomic<TCallInListener *> current{nullptr};

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
            if (TCallInOptions::Parse(port.Path))
                qWarning("%s: %s", qUtf8Printable(port.Name), qUtf8Printable(FWakeError));
        }
        return;
    }
    {
        const std::lock_guard lock(FLock);
        std::map<QString, std::unique_ptr<TLine>> lines;
        QList<TLine *> added;
        for (int i = 0; i < ports.size(); ++i) {
            const std::optional<TCallInOptions> options = TCallInOptions::Parse(ports.at(i).Path);
            if (!options || lines.count(ports.at(i).Path) != 0)
                continue;
            std::unique_ptr<TLine> line;
            if (const auto it = FLines.find(ports.at(i).Path); it != FLines.end()) {
                line = std::move(it->second);
                FLines.erase(it);
            } else {
                line = std::make_unique<TLine>();
                line->Path = ports.at(i).Path;
                line->Options = *options;
                line->Socket = options->Bind.HostAndPort();
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
                socket->Fd = Listen(line->Options.Bind, socket->Error);
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
            if (!line->Options.Id && line->Options.From.isEmpty()) {
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
                taken = TCall{line.WaitingFd, line.WaitingCall, line.Options.Heartbeat};
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
