#include "settings/SafeFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            return false;
        }
        data += done;
        size -= size_t(done);
    }
    return true;
}

} // namespace

namespace SafeFile
{

bool Replace(const QString &path, const QByteArray &content, QString &error, mode_t newFileMode)
{
    const QByteArray target = QFile::encodeName(path);
    mode_t mode = newFileMode;
    struct stat st {
    };
    if (::stat(target.constData(), &st) == 0)
        mode = st.st_mode & 07777;

    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = errnoText(errno);
        return false;
    }
    const bool written = writeAll(fd, content.constData(), size_t(content.size())) &&
                         ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        const int reason = written ? errno : writeError;
        ::unlink(temp.constData());
        error = errnoText(reason);
        return false;
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int reason = errno;
        ::unlink(temp.constData());
        error = errnoText(reason);
        return false;
    }
    return true;
}

} // namespace SafeFile
