#include "app/SingleInstance.h"

#include "platform/Deadline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TSingleInstance::TSingleInstance(const QString &lockFile)
{
    QDir().mkpath(QFileInfo(lockFile).absolutePath());
    FFd = ::open(QFile::encodeName(lockFile).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FFd < 0) {
        // Without a lock file the guard cannot tell; starting is better than refusing.
        FFirst = true;
        return;
    }
    FFirst = RetryOnInterrupt([this] { return ::flock(FFd, LOCK_EX | LOCK_NB); }) == 0;
}

TSingleInstance::~TSingleInstance()
{
    if (FFd >= 0)
        ::close(FFd);
}
