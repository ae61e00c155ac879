#include "support/Pty.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace
{

// Waits for the event on the descriptor until the deadline; false when it passed.
bool waitFor(int fd, short event, const QDeadlineTimer &deadline)
{
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        struct pollfd waiter = {fd, event, 0};
        const int ready = ::poll(&waiter, 1, int(qMin<qint64>(left, INT_MAX)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

TPty::TPty()
{
    struct termios raw = {};
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B9600);
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        FError = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    char name[PATH_MAX] = {};
    if (::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(master, F_SETFL, O_NONBLOCK) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        FError = QStringLiteral("pty set-up: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        ::close(slave);
        return;
    }
    FMaster = master;
    FSlave = slave;
    FSlavePath = QString::fromLocal8Bit(name);
}

TPty::~TPty()
{
    Unplug();
}

bool TPty::Write(const QByteArray &data, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (FMaster >= 0 && done < data.size()) {
        const ssize_t n = ::write(FMaster, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!waitFor(FMaster, POLLOUT, deadline))
            return false;
    }
    return FMaster >= 0 && done == data.size();
}

QByteArray TPty::Read(int count, int timeoutMs)
{
    QByteArray result;
    const QDeadlineTimer deadline(timeoutMs);
    char chunk[4096];
    while (FMaster >= 0 && result.size() < count) {
        const ssize_t n =
            ::read(FMaster, chunk, qMin<size_t>(sizeof chunk, size_t(count - result.size())));
        if (n > 0) {
            result.append(chunk, n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (!waitFor(FMaster, POLLIN, deadline))
            break;
    }
    return result;
}

QByteArray TPty::ReadQuiet(int quietMs, int timeoutMs)
{
    QByteArray result;
    if (FMaster < 0 || !waitFor(FMaster, POLLIN, QDeadlineTimer(timeoutMs)))
        return result;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(FMaster, chunk, sizeof chunk);
        if (n > 0) {
            result.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if ((n < 0 && errno != EAGAIN) || !waitFor(FMaster, POLLIN, QDeadlineTimer(quietMs)))
            return result;
    }
}

int TPty::SlaveInputQueued() const
{
    int queued = 0;
    return FSlave >= 0 && ::ioctl(FSlave, TIOCINQ, &queued) == 0 ? queued : -1;
}

QString TPty::StablePath(const QString &folder)
{
    const QString link =
        QStringLiteral("%1/pty-line-%2").arg(folder).arg(QFileInfo(FSlavePath).fileName());
    QFile::remove(link);
    if (!QFile::link(FSlavePath, link))
        return {};
    FLinks << link;
    return link;
}

void TPty::Unplug()
{
    for (const QString &link : std::exchange(FLinks, {}))
        QFile::remove(link);
    if (FMaster >= 0)
        ::close(FMaster);
    if (FSlave >= 0)
        ::close(FSlave);
    FMaster = -1;
    FSlave = -1;
}
