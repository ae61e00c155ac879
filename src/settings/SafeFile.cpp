#include "settings/SafeFile.h"

#include "platform/Deadline.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t done = RetryOnInterrupt([&] { return ::write(fd, data, size); });
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

TResult Replace(const QString &path, const QByteArray &content, mode_t newFileMode)
{
    const QByteArray target = QFile::encodeName(path);
    mode_t mode = newFileMode;
    struct stat st {
    };
    if (::stat(target.constData(), &st) == 0)
        mode = st.st_mode & 07777;

    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return TResult::Failure(ErrnoText(errno));
    const bool written = writeAll(fd, content.constData(), size_t(content.size())) &&
                         ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (!written || !closed || ::rename(temp.constData(), target.constData()) != 0) {
        const int reason = !written ? writeError : !closed ? closeError : errno;
        ::unlink(temp.constData());
        return TResult::Failure(ErrnoText(reason));
    }
    return TResult::Success();
}

} // namespace SafeFile
