#include "serial/COMUtils.h"

#include "platform/Deadline.h"
#include "platform/SystemError.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortDiscovery.h"
#include "serial/PortLock.h"
#include "serial/PortMap.h"
#include "serial/SerialTermios2.h"
#include "settings/Paths.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace
{

using namespace std::chrono_literals;

// How long a close waits for queued output to leave before discarding it.
constexpr auto drainLimit = 200ms;
// How long a write waits for room in a driver queue that takes nothing at all.
constexpr auto writeStallLimit = 2000ms;

// The lock file of every port this process holds open, by descriptor. The dialer thread and the
// window thread each open and close ports, so the table is guarded.
std::mutex openPortsMutex;
std::unordered_map<int, QString> openPorts;

int toFd(THandle handle)
{
    return static_cast<int>(handle);
}

speed_t standardSpeed(int baudRate)
{
    switch (baudRate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    default:
        return B0;
    }
}

// Waits until the driver's output queue is empty; false when the time ran out first.
bool drainOutput(int fd)
{
    const TDeadline deadline(drainLimit);
    for (;;) {
        int pending = 0;
        if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
            return true;
        if (deadline.Expired())
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

// Takes the descriptor out of the table; the lock file it held, empty when none or not ours.
QString forgetPort(int fd, bool &ours)
{
    const std::lock_guard lock(openPortsMutex);
    const auto it = openPorts.find(fd);
    ours = it != openPorts.end();
    if (!ours)
        return {};
    QString lockFile = it->second;
    openPorts.erase(it);
    return lockFile;
}

// Opens the device exclusively: the lock file first (so a port in use elsewhere is not even
// opened, which would toggle its modem lines), then flock() and TIOCEXCL on the descriptor. The
// descriptor, or -1 with the reason in result.
int openExclusive(const QString &path, QString &lockFile, TResult &result)
{
    result = PortLock::Acquire(path, lockFile);
    if (!result)
        return -1;
    const auto busyOr = [&path](int error) {
        if (error == EBUSY || error == EWOULDBLOCK)
            return TResult::Failure(PortDiagnosis::Busy(path));
        if (error == EACCES || error == EPERM)
            return TResult::Failure(PortDiagnosis::NoPermission(path));
        if (error == ENOENT || error == ENODEV || error == ENXIO)
            return TResult::Failure(PortDiagnosis::Vanished(path));
        return TResult::Failure(ErrnoReason(path, error));
    };
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result = busyOr(errno);
        PortLock::Release(lockFile);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result = busyOr(errno);
        ::close(fd);
        PortLock::Release(lockFile);
        return -1;
    }
    // Root is not kept out by TIOCEXCL; the two locks above cover that case.
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

} // namespace

TResult OpenCOMPort(const QString &name, int baudRate, THandle &handle)
{
    handle = INVALID_HANDLE_VALUE;

    QList<TPortMapEntry> map;
    if (TResult loaded = PortMap::Load(map); !loaded)
        return loaded;
    const QString path = PortMap::PathOf(map, name);
    if (path.isEmpty())
        return TResult::Failure(
            QStringLiteral("%1: порт не указан в %2").arg(name, Paths::PortMapFile()));
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return TResult::Failure(errno == ENOENT ? PortDiagnosis::Vanished(path)
                                                : ErrnoReason(path, errno));
    if (!S_ISCHR(st.st_mode))
        return TResult::Failure(QStringLiteral("%1: это не устройство").arg(path));

    QString lockFile;
    TResult opened = TResult::Success();
    const int fd = openExclusive(path, lockFile, opened);
    if (fd < 0)
        return opened;
    {
        const std::lock_guard lock(openPortsMutex);
        openPorts[fd] = lockFile;
    }
    handle = static_cast<THandle>(fd);

    // From here on a failure leaves the port open in the handle; the caller closes it.
    if (!SetCOMPortParams(handle, baudRate)) {
        const int reason = errno;
        return TResult::Failure(QStringLiteral("%1: скорость %2 или режим линии не приняты: %3")
                                    .arg(path)
                                    .arg(baudRate)
                                    .arg(ErrnoText(reason)));
    }
    if (::tcflush(fd, TCIOFLUSH) != 0)
        return TResult::Failure(ErrnoReason(path, errno));
    // Pseudo-terminals have no modem lines and answer ENOTTY; that is no reason to fail.
    int bits = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIC, &bits);
    bits = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &bits);
    return TResult::Success();
}

bool SetCOMPortParams(THandle handle, int baudRate)
{
    const int fd = toFd(handle);
    if (baudRate <= 0) {
        errno = EINVAL;
        return false;
    }
    struct termios tio = {};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    // Binary data must pass unchanged, so software flow control stays off in both directions.
    tio.c_iflag &= ~tcflag_t(IXOFF | IXANY);
    // CIBAUD cleared: the input speed follows the output speed. Left as it was, an earlier
    // custom speed would stay in force for input after a change to a standard one.
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS | CIBAUD);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t code = standardSpeed(baudRate);
    // Speeds without a B-constant go through termios2 once the rest is in place.
    const speed_t placeholder = code != B0 ? code : B38400;
    if (::cfsetispeed(&tio, placeholder) != 0 || ::cfsetospeed(&tio, placeholder) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    return code != B0 || SerialTermios2::SetSpeed(fd, baudRate);
}

bool CloseCOMPort(THandle &handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    const int fd = toFd(handle);
    bool ours = false;
    const QString lockFile = forgetPort(fd, ours);
    ::tcflush(fd, TCIFLUSH);
    // Output is discarded only when it could not leave in time (close() would otherwise wait for
    // it on its own). An empty queue is no proof that the bytes have left: a pseudo-terminal
    // reports 0 while they are still on their way to the other side, and a flush then loses them.
    if (!drainOutput(fd))
        ::tcflush(fd, TCOFLUSH);
    if (ours) {
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
    }
    // Linux releases the descriptor even when close() reports an error; only EBADF means that
    // there was nothing to close.
    const bool closed = ::close(fd) == 0 || errno != EBADF;
    PortLock::Release(lockFile);
    if (closed)
        handle = INVALID_HANDLE_VALUE;
    return closed;
}

void CancelCOMIo(THandle handle)
{
    // Only input: bytes a write has handed to the driver belong to the device, and the close
    // still drains them.
    if (handle != INVALID_HANDLE_VALUE)
        ::tcflush(toFd(handle), TCIFLUSH);
}

int ReadCOMPort(THandle handle, char *buffer, int bufferSize)
{
    if (buffer == nullptr || bufferSize < 0)
        return -1;
    int queued = 0;
    // A failed count (a hang-up answers EIO) reads as nothing arrived; the presence test is what
    // notices a lost port.
    if (bufferSize == 0 || ::ioctl(toFd(handle), TIOCINQ, &queued) != 0 || queued <= 0)
        return 0;
    const int wanted = std::min(queued, bufferSize);
    const ssize_t count =
        RetryOnInterrupt([&] { return ::read(toFd(handle), buffer, size_t(wanted)); });
    if (count >= 0)
        return int(count);
    return errno == EAGAIN ? 0 : -1;
}

void ReadCOMString(THandle handle, QByteArray &data)
{
    data.resize(COM_BUFFER_SIZE);
    const int count = ReadCOMPort(handle, data.data(), COM_BUFFER_SIZE);
    if (count > 0)
        data.resize(count);
    else
        data.clear();
}

int WriteCOMPort(THandle handle, const char *data, int count)
{
    if (count == 0)
        return 0;
    if (data == nullptr || count < 0)
        return -1;
    const int fd = toFd(handle);
    int written = 0;
    TDeadline stall(writeStallLimit);
    // Writes are synchronous: the call returns once the driver has taken everything, unless the
    // line takes nothing for a long while (a stopped receiver must not freeze the caller).
    while (written < count) {
        const ssize_t n =
            RetryOnInterrupt([&] { return ::write(fd, data + written, size_t(count - written)); });
        if (n > 0) {
            written += int(n);
            stall = TDeadline(writeStallLimit);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return written > 0 ? written : -1;
        if (WaitForDescriptor(fd, POLLOUT, stall) <= 0)
            break;
    }
    return written;
}

int WriteCOMString(THandle handle, const QByteArray &data)
{
    return WriteCOMPort(handle, data.constData(), int(data.size()));
}

void GetDosDevices(QStringList &list, const QString &prefix, TResult *discovery)
{
    QList<TPortMapEntry> entries;
    TResult saved = TResult::Success();
    if (TResult read = PortMap::Discover(entries, saved); !read)
        throw std::runtime_error(read.Reason().toStdString());
    if (discovery)
        *discovery =
            saved ? saved
                  : TResult::Failure(QStringLiteral("Найденные порты не добавлены в список: %1")
                                         .arg(saved.Reason()));
    // The same NUL-separated listing, ended by one more NUL, that the name walk expects.
    QString names;
    for (const TPortMapEntry &entry : entries) {
        if (PortMap::IsPresent(entry.Path))
            names += entry.Name + QChar(u'\0');
    }
    names += QChar(u'\0');

    QStringList result;
    int pos = 1;
    QString name;
    for (;;) {
        NextDeviceName(names, pos, name);
        if (name.isEmpty())
            break;
        if (name.startsWith(prefix, Qt::CaseSensitive))
            result.append(name);
    }
    list = result;
}

void NextDeviceName(const QString &text, int &pos, QString &name)
{
    if (pos < 1)
        throw std::out_of_range("aStartPos должен быть больше 0");
    name.clear();
    if (text.size() < pos)
        return;
    const qsizetype nul = text.indexOf(QChar(u'\0'), pos - 1);
    if (nul < 0) {
        pos = 1;
        return;
    }
    name = text.mid(pos - 1, nul - (pos - 1));
    pos = int(nul) + 2;
}

void GetPortFriendlyNames(QStringList &list)
{
    list.clear();
    QList<TPortMapEntry> entries;
    // An unreadable map lists nothing, as a failed class query does.
    if (!PortMap::Load(entries))
        return;
    const QString sysRoot = PortMap::SysRoot();
    int index = 0;
    for (const TPortMapEntry &entry : entries) {
        if (!PortMap::IsPresent(entry.Path))
            continue;
        list.append(QString::number(index++) + QStringLiteral(": ") +
                    PortDiscovery::Describe(sysRoot, entry.Path) + QStringLiteral(" (") +
                    entry.Name + u')');
    }
}

bool IsCOMPortPresent(const QString &name)
{
    if (name.isEmpty())
        return false;
    QStringList lines;
    GetPortFriendlyNames(lines);
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    return text.toUpper().contains(name.toUpper());
}
