#include "support/Pty.h"

#include "common/Pty.h"
#include "platform/Deadline.h"
#include "platform/SystemError.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace
{

// Waits for the event on the descriptor until the deadline; false when it passed first.
bool waitFor(int fd, short event, const TDeadline &deadline)
{
    return WaitForDescriptor(fd, event, deadline) > 0;
}

TDeadline after(int ms)
{
    return TDeadline(std::chrono::milliseconds(ms));
}

} // namespace

TPty::TPty()
{
    // The stand-in tools make their lines the same way.
    tools::Pty pair;
    std::string error;
    if (!tools::openPty(pair, error)) {
        FError = QString::fromStdString(error);
        return;
    }
    FMaster = pair.master;
    FSlave = pair.slaveKeep;
    FSlavePath = QString::fromStdString(pair.slavePath);
}

TPty::~TPty()
{
    Unplug();
}

bool TPty::Write(const QByteArray &data, int timeoutMs)
{
    const TDeadline deadline = after(timeoutMs);
    qsizetype done = 0;
    while (FMaster >= 0 && done < data.size()) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::write(FMaster, data.constData() + done, size_t(data.size() - done)); });
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return false;
        if (!waitFor(FMaster, POLLOUT, deadline))
            return false;
    }
    return FMaster >= 0 && done == data.size();
}

QByteArray TPty::Read(int count, int timeoutMs)
{
    QByteArray result;
    const TDeadline deadline = after(timeoutMs);
    char chunk[4096];
    while (FMaster >= 0 && result.size() < count) {
        const ssize_t n = RetryOnInterrupt([&] {
            return ::read(FMaster, chunk,
                          qMin<size_t>(sizeof chunk, size_t(count - result.size())));
        });
        if (n > 0) {
            result.append(chunk, n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            break;
        if (!waitFor(FMaster, POLLIN, deadline))
            break;
    }
    return result;
}

QByteArray TPty::ReadQuiet(int quietMs, int timeoutMs)
{
    QByteArray result;
    if (FMaster < 0 || !waitFor(FMaster, POLLIN, after(timeoutMs)))
        return result;
    char chunk[4096];
    for (;;) {
        const ssize_t n = RetryOnInterrupt([&] { return ::read(FMaster, chunk, sizeof chunk); });
        if (n > 0) {
            result.append(chunk, n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN) || !waitFor(FMaster, POLLIN, after(quietMs)))
            return result;
    }
}

int TPty::SlaveInputQueued() const
{
    int queued = 0;
    return FSlave >= 0 && ::ioctl(FSlave, TIOCINQ, &queued) == 0 ? queued : -1;
}

int TPty::SlaveSpeed() const
{
    termios t{};
    return FSlave >= 0 && ::tcgetattr(FSlave, &t) == 0 ? int(::cfgetospeed(&t)) : int(B0);
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

int LineSpeedOf(const QString &device)
{
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return int(B0);
    termios t{};
    const int speed = ::tcgetattr(fd, &t) == 0 ? int(::cfgetospeed(&t)) : int(B0);
    ::close(fd);
    return speed;
}
