#include "settings/SafeFile.h"

#include "platform/Deadline.h"

#include <QFile>
#include <QFileInfo>

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

// The process's file mode creation mask, read without changing it (umask() can only be read by
// setting it, which would race with other threads creating files).
mode_t CurrentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask);
            }
        }
    }
    return 022;
}

} // namespace

namespace SafeFile
{

TResult Replace(const QString &path, const QByteArray &content, mode_t newFileMode)
{
    return Replace(
        path, [&content](const TContentWriter &write) { return write(content); }, newFileMode);
}

TResult Replace(const QString &path, const std::function<bool(const TContentWriter &)> &produce,
                mode_t newFileMode)
{
    // A link (a settings file kept elsewhere by the user) is written through, not replaced.
    const QString resolved = QFileInfo(path).canonicalFilePath();
    const QByteArray target = QFile::encodeName(resolved.isEmpty() ? path : resolved);
    mode_t mode = newFileMode & ~CurrentUmask();
    struct stat st {
    };
    if (::stat(target.constData(), &st) == 0)
        mode = st.st_mode & 07777;

    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return TResult::Failure(ErrnoText(errno));
    const bool written = produce([fd](const QByteArray &piece) {
                             return writeAll(fd, piece.constData(), size_t(piece.size()));
                         }) &&
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
