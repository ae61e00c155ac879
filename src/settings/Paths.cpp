#include "settings/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString withSlash(QString dir)
{
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString envDir(const char *name)
{
    const QByteArray value = qgetenv(name);
    // Relative values are invalid by the XDG rules and are ignored.
    if (value.isEmpty() || !value.startsWith('/'))
        return {};
    return QString::fromLocal8Bit(value);
}

QString &programDirOverride()
{
    static QString dir;
    return dir;
}

// A directory we may keep programs in: ours, a real directory (not a link), no access for others.
bool isPrivateDir(const QString &path)
{
    struct stat st {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0 &&
           (st.st_mode & 0700) == 0700;
}

} // namespace

namespace Paths
{

QString ConfigDir()
{
    QString base = envDir("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return withSlash(base) + QStringLiteral("Varo/Lindqvar/");
}

QString SettingsFile()
{
    return ConfigDir() + QStringLiteral("Lindqvar.conf");
}

QString PortMapFile()
{
    return ConfigDir() + QStringLiteral("ports.conf");
}

QString ProgramDir()
{
    if (!programDirOverride().isEmpty())
        return programDirOverride();
    QString dir = QCoreApplication::applicationDirPath();
    if (dir.isEmpty()) {
        // Before the application object exists: the executable's own link.
        dir = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    }
    return withSlash(dir);
}

void SetProgramDirForTesting(const QString &dir)
{
    programDirOverride() = dir.isEmpty() ? QString() : withSlash(dir);
}

QString PrivateTempDir()
{
    QString dir;
    const QString runtime = envDir("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        dir = withSlash(runtime) + QStringLiteral("lindqvar/");
    } else {
        QString tmp = envDir("TMPDIR");
        if (tmp.isEmpty())
            tmp = QStringLiteral("/tmp");
        dir = withSlash(tmp) + QStringLiteral("lindqvar-%1/").arg(::geteuid());
    }
    const QByteArray native = QFile::encodeName(dir.chopped(1));
    if (::mkdir(native.constData(), 0700) == 0) {
        // The umask may have taken bits we need; a new directory is ours to set.
        ::chmod(native.constData(), 0700);
    } else if (errno != EEXIST) {
        return {};
    }
    // An existing entry may have been planted by someone else: use it only if it is ours alone.
    if (!isPrivateDir(dir.chopped(1)))
        return {};
    return dir;
}

QString InstanceLockFile()
{
    const QString runtime = envDir("XDG_RUNTIME_DIR");
    const QString dir = runtime.isEmpty() ? ConfigDir() : withSlash(runtime);
    return dir + QStringLiteral("TMainLindqvarForm.lock");
}

} // namespace Paths
