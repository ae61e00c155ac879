#include "SerialTestHelpers.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

TPortHolder::TPortHolder(const QString &path, bool takeFlock)
{
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return;
    if (::pipe2(release, O_CLOEXEC) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return;
    }
    const QByteArray native = QFile::encodeName(path);
    FPid = ::fork();
    if (FPid == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool ok = fd >= 0 && (!takeFlock || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
        const char answer = ok ? '1' : '0';
        if (::write(ready[1], &answer, 1) != 1)
            ::_exit(2);
        char dummy;
        // Blocks until the parent closes its end.
        while (::read(release[0], &dummy, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    FRelease = release[1];
    char answer = '0';
    FHolding = FPid > 0 && ::read(ready[0], &answer, 1) == 1 && answer == '1';
    ::close(ready[0]);
}

TPortHolder::~TPortHolder()
{
    if (FRelease >= 0)
        ::close(FRelease);
    if (FPid > 0)
        ::waitpid(FPid, nullptr, 0);
}

pid_t DeadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

bool WriteLockFile(const QString &lockFile, pid_t pid)
{
    QFile file(lockFile);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(QString::asprintf("%10d\n", int(pid)).toLatin1()) == 11;
}
