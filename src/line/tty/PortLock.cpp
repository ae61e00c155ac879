#include "line/tty/PortLock.h"

#include "line/tty/PortDiagnosis.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString lockDir()
{
    for (const char *dir : {"/run/lock", "/var/lock"}) {
        struct stat st = {};
        if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir, W_OK) == 0)
            return QString::fromLatin1(dir);
    }
    return {};
}

bool processAlive(long pid)
{
    if (pid <= 0)
        return false;
    // EPERM means the process exists but belongs to someone else.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Writes our lock file under a temporary name and links it into place, so that nobody ever sees
// a lock file without its process id.
bool linkLockFile(const QByteArray &lockPath, int &error)
{
    // The lock directory is writable by everyone: a name others can foresee could be planted
    // there (a symbolic link to a file of the user's), so the name is random and the file is
    // created new, never through a link. The dialer thread and the window thread may both be
    // opening ports.
    QByteArray tempPath;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        tempPath = lockPath + ".tmp" + QByteArray::number(::getpid()) + '.' +
                   QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        fd = ::open(tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = errno;
        return false;
    }
    const QByteArray content = QString::asprintf("%10d\n", int(::getpid())).toLatin1();
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    error = errno;
    ::close(fd);
    bool linked = false;
    if (written) {
        linked = ::link(tempPath.constData(), lockPath.constData()) == 0;
        error = errno;
    }
    ::unlink(tempPath.constData());
    return linked;
}

} // namespace

namespace PortLock
{

QString LockFilePath(const QString &devicePath)
{
    const QString dir = lockDir();
    if (dir.isEmpty())
        return {};
    QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        device = devicePath;
    QString name;
    if (device.startsWith(QLatin1String("/dev/")))
        name = device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    else
        name = QFileInfo(device).fileName();
    return dir + QStringLiteral("/LCK..") + name;
}

long OwnerOf(const QString &lockFile)
{
    QFile file(lockFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray content = file.read(64);
    bool ok = false;
    const long pid = content.trimmed().toLong(&ok);
    if (ok)
        return pid;
    // Some old programs store the id as a binary int.
    if (content.size() == int(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    return 0;
}

TResult Acquire(const QString &devicePath, QString &lockFile)
{
    lockFile.clear();
    const QString path = LockFilePath(devicePath);
    if (path.isEmpty())
        return TResult::Success();
    const QByteArray native = QFile::encodeName(path);
    // A stale file is removed and the link tried again; twice is enough unless someone races us.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int error = 0;
        if (linkLockFile(native, error)) {
            lockFile = path;
            return TResult::Success();
        }
        if (error != EEXIST) {
            return TResult::FromErrno(path, error);
        }
        const long owner = OwnerOf(path);
        if (owner == long(::getpid())) {
            return TResult::Failure(
                TFault::Busy,
                QStringLiteral("%1: порт уже открыт этой программой").arg(devicePath));
        }
        if (processAlive(owner))
            return TResult::Failure(TFault::Busy, PortDiagnosis::Busy(devicePath, owner));
        if (::unlink(native.constData()) != 0 && errno != ENOENT)
            return TResult::FromErrno(path, errno);
    }
    return TResult::Failure(TFault::Busy,
                            QStringLiteral("%1: не удалось создать %2").arg(devicePath, path));
}

void Release(const QString &lockFile)
{
    if (lockFile.isEmpty())
        return;
    if (OwnerOf(lockFile) == long(::getpid()))
        ::unlink(QFile::encodeName(lockFile).constData());
}

} // namespace PortLock
