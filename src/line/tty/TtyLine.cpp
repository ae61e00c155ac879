#include "line/tty/TtyLine.h"

#include "line/tty/PortDiagnosis.h"
#include "line/tty/PortLock.h"
#include "line/tty/SerialTermios2.h"
#include "platform/Deadline.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// How long a close waits for queued output to leave before discarding it.
constexpr auto drainLimit = 200ms;
// How long a write waits for room in a driver queue that takes nothing at all.
constexpr auto writeStallLimit = 2000ms;

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

// A refused setting: the system's text, for the caller's own words before it.
TResult Refused(int error)
{
    return TResult::Failure(FaultOfErrno(error), ErrnoText(error));
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

// Opens the device exclusively: the lock file first (so a port in use elsewhere is not even
// opened, which would toggle its modem lines), then flock() and TIOCEXCL on the descriptor. The
// descriptor, or -1 with the reason in result.
int openExclusive(const QString &path, QString &lockFile, TResult &result)
{
    result = PortLock::Acquire(path, lockFile);
    if (!result)
        return -1;
    // A lock that flock cannot take now (EWOULDBLOCK) is a port in use, as EBUSY is.
    const auto busyOr = [&path](int error) {
        switch (error == EWOULDBLOCK ? TFault::Busy : FaultOfErrno(error)) {
        case TFault::Busy:
            return TResult::Failure(TFault::Busy, PortDiagnosis::Busy(path));
        case TFault::Permission:
            return TResult::Failure(TFault::Permission, PortDiagnosis::NoPermission(path));
        case TFault::NotFound:
            return TResult::Failure(TFault::NotFound, PortDiagnosis::Vanished(path));
        default:
            return TResult::FromErrno(path, error);
        }
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

TResultOf<std::unique_ptr<TSerialLine>> TTtyLine::Open(const TLineKind &kind, const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? TResult::Failure(TFault::NotFound, PortDiagnosis::Vanished(path))
                               : TResult::FromErrno(path, errno);
    if (!S_ISCHR(st.st_mode))
        return TResult::Failure(TFault::Invalid, QStringLiteral("%1: это не устройство").arg(path));

    QString lockFile;
    TResult opened = TResult::Success();
    const int fd = openExclusive(path, lockFile, opened);
    if (fd < 0)
        return opened;
    return std::unique_ptr<TSerialLine>(new TTtyLine(fd, path, kind, lockFile));
}

TTtyLine::TTtyLine(int fd, const QString &path)
    : TSerialLine(path, LineKinds::DeviceFiles()), FFd(fd)
{
}

TTtyLine::TTtyLine(int fd, const QString &path, const TLineKind &kind, const QString &lockFile)
    : TSerialLine(path, kind), FFd(fd), FExclusive(true), FLockFile(lockFile)
{
}

TTtyLine::~TTtyLine()
{
    if (FFd >= 0)
        (void)Close();
}

TResult TTtyLine::SetParams(int baudRate)
{
    if (baudRate <= 0)
        return Refused(EINVAL);
    struct termios tio = {};
    if (::tcgetattr(FFd, &tio) != 0)
        return Refused(errno);
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
        ::tcsetattr(FFd, TCSANOW, &tio) != 0)
        return Refused(errno);
    if (code == B0 && !SerialTermios2::SetSpeed(FFd, baudRate))
        return Refused(errno);
    return TResult::Success();
}

TResult TTtyLine::Purge()
{
    if (::tcflush(FFd, TCIOFLUSH) != 0)
        return TResult::FromErrno(Path(), errno);
    return TResult::Success();
}

void TTtyLine::SetOpenControlLines()
{
    // Pseudo-terminals have no modem lines and answer ENOTTY; that is no reason to fail.
    int bits = TIOCM_DTR;
    ::ioctl(FFd, TIOCMBIC, &bits);
    bits = TIOCM_RTS;
    ::ioctl(FFd, TIOCMBIS, &bits);
}

void TTtyLine::DiscardInput()
{
    ::tcflush(FFd, TCIFLUSH);
}

TResultOf<int> TTtyLine::Read(char *buffer, int size)
{
    int queued = 0;
    // A failed count (a hang-up answers EIO) reads as nothing arrived; the presence test is what
    // notices a lost port.
    if (size == 0 || ::ioctl(FFd, TIOCINQ, &queued) != 0 || queued <= 0)
        return 0;
    const int wanted = std::min(queued, size);
    const ssize_t count = RetryOnInterrupt([&] { return ::read(FFd, buffer, size_t(wanted)); });
    if (count >= 0)
        return int(count);
    if (errno == EAGAIN)
        return 0;
    return TResult::FromErrno(Path(), errno);
}

TResultOf<int> TTtyLine::Write(const char *data, int count)
{
    int written = 0;
    TDeadline stall(writeStallLimit);
    // Writes are synchronous: the call returns once the driver has taken everything, unless the
    // line takes nothing for a long while (a stopped receiver must not freeze the caller).
    while (written < count) {
        const ssize_t n =
            RetryOnInterrupt([&] { return ::write(FFd, data + written, size_t(count - written)); });
        if (n > 0) {
            written += int(n);
            stall = TDeadline(writeStallLimit);
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            if (written > 0)
                return written;
            return TResult::FromErrno(Path(), errno);
        }
        if (WaitForDescriptor(FFd, POLLOUT, stall) <= 0)
            break;
    }
    return written;
}

TResult TTtyLine::Close()
{
    ::tcflush(FFd, TCIFLUSH);
    // Output is discarded only when it could not leave in time (close() would otherwise wait for
    // it on its own). An empty queue is no proof that the bytes have left: a pseudo-terminal
    // reports 0 while they are still on their way to the other side, and a flush then loses them.
    if (!drainOutput(FFd))
        ::tcflush(FFd, TCOFLUSH);
    if (FExclusive) {
        ::ioctl(FFd, TIOCNXCL);
        ::flock(FFd, LOCK_UN);
    }
    // Linux releases the descriptor even when close() reports an error; only EBADF means that
    // there was nothing to close.
    const bool closed = ::close(FFd) == 0 || errno != EBADF;
    PortLock::Release(FLockFile);
    FLockFile.clear();
    FExclusive = false;
    FFd = -1;
    if (!closed)
        return TResult::FromErrno(Path(), EBADF);
    return TResult::Success();
}
