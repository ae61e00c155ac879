#include "ports/PortWatcher.h"

#include "platform/Deadline.h"
#include "ports/PortMap.h"
#include "settings/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <linux/netlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int QuietMs = 300;

constexpr uint32_t NodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t FileEvents = NodeEvents | IN_CLOSE_WRITE;

// The names under the device root that can be serial ports, or hold links to them.
bool IsPortNode(const QString &name)
{
    return name.startsWith(QLatin1String("tty")) || name.startsWith(QLatin1String("rfcomm")) ||
           name == QLatin1String("serial") || name == QLatin1String("by-id") ||
           name == QLatin1String("by-path");
}

} // namespace

bool IsTtyUevent(const QByteArray &message)
{
    // "ACTION@DEVPATH\0KEY=VALUE\0...": the header, then one field per variable.
    const QList<QByteArray> fields = message.split('\0');
    return std::find(fields.begin() + 1, fields.end(), QByteArrayLiteral("SUBSYSTEM=tty")) !=
           fields.end();
}

TPortWatcher::TPortWatcher(QObject *parent) : QObject(parent)
{
    FQuiet.setSingleShot(true);
    FQuiet.setInterval(QuietMs);
    connect(&FQuiet, &QTimer::timeout, this, [this] {
        Rewatch(); // a serial/ folder may have appeared meanwhile
        emit Changed();
    });

    FInotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FInotify >= 0) {
        FInotifyNotifier = std::make_unique<QSocketNotifier>(FInotify, QSocketNotifier::Read);
        connect(FInotifyNotifier.get(), &QSocketNotifier::activated, this,
                &TPortWatcher::ReadInotify);
        Rewatch();
    } else {
        qWarning("TPortWatcher: inotify is not available; the port list follows refreshes only");
    }

    // The kernel's device events; not available in every container, and then the device nodes
    // are still watched.
    FUevents =
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    if (FUevents >= 0 &&
        ::bind(FUevents, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        FUeventNotifier = std::make_unique<QSocketNotifier>(FUevents, QSocketNotifier::Read);
        connect(FUeventNotifier.get(), &QSocketNotifier::activated, this,
                &TPortWatcher::ReadUevents);
    } else if (FUevents >= 0) {
        ::close(FUevents);
        FUevents = -1;
    }
}

TPortWatcher::~TPortWatcher()
{
    FInotifyNotifier.reset();
    FUeventNotifier.reset();
    if (FInotify >= 0)
        ::close(FInotify);
    if (FUevents >= 0)
        ::close(FUevents);
}

void TPortWatcher::Rewatch()
{
    if (FInotify < 0)
        return;
    // Adding a watch that exists already only updates it.
    const QString dev = PortMap::DevRoot();
    const QString config = QFileInfo(Paths::PortMapFile()).absolutePath();
    for (const QString &dir :
         {dev, dev + QStringLiteral("/serial"), dev + QStringLiteral("/serial/by-id"),
          dev + QStringLiteral("/serial/by-path")})
        ::inotify_add_watch(FInotify, QFile::encodeName(dir).constData(), NodeEvents);
    ::inotify_add_watch(FInotify, QFile::encodeName(config).constData(), FileEvents);
}

void TPortWatcher::ReadInotify()
{
    const QString portMap = QFileInfo(Paths::PortMapFile()).fileName();
    alignas(inotify_event) char buffer[8192];
    bool relevant = false;
    for (;;) {
        const ssize_t got =
            RetryOnInterrupt([&] { return ::read(FInotify, buffer, sizeof buffer); });
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            const QString name = event->len > 0 ? QFile::decodeName(event->name) : QString();
            relevant = relevant || IsPortNode(name) || name == portMap ||
                       (event->mask & IN_Q_OVERFLOW) != 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (relevant)
        FQuiet.start();
}

void TPortWatcher::ReadUevents()
{
    char buffer[8192];
    bool relevant = false;
    for (;;) {
        const ssize_t got =
            RetryOnInterrupt([&] { return ::recv(FUevents, buffer, sizeof buffer, 0); });
        if (got <= 0) {
            // ENOBUFS: the kernel dropped events that did not fit; any of them may have been a
            // port's, so the list is looked at again.
            relevant = relevant || (got < 0 && errno == ENOBUFS);
            break;
        }
        relevant = relevant || IsTtyUevent(QByteArray(buffer, got));
    }
    if (relevant)
        FQuiet.start();
}
