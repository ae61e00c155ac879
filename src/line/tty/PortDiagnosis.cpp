#include "line/tty/PortDiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PortDiagnosis
{

QString ProcessName(long pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QString Holders(const QString &devicePath)
{
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return {};
    const QString self = QString::number(::getpid());
    QStringList holders;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || pid.front() < u'0' || pid.front() > u'9')
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System)) {
            if (QFile::symLinkTarget(fds.filePath(fd)) == device) {
                const QString name = ProcessName(pid.toLong());
                holders << QStringLiteral("%1 (процесс %2)")
                               .arg(name.isEmpty() ? QStringLiteral("?") : name, pid);
                break;
            }
        }
    }
    return holders.join(QStringLiteral(", "));
}

QString Busy(const QString &devicePath, long knownPid)
{
    QString holders = Holders(devicePath);
    if (holders.isEmpty() && knownPid > 0) {
        const QString name = ProcessName(knownPid);
        holders = QStringLiteral("%1 (процесс %2)")
                      .arg(name.isEmpty() ? QStringLiteral("?") : name)
                      .arg(knownPid);
    }
    if (holders.isEmpty())
        return QStringLiteral("%1: порт занят другой программой").arg(devicePath);
    QString text = QStringLiteral("%1: порт занят программой %2").arg(devicePath, holders);
    if (holders.contains(QStringLiteral("ModemManager")))
        text += QStringLiteral(". ModemManager проверяет каждый новый модем и отпускает порт "
                               "через несколько секунд; чтобы он не трогал порт совсем: "
                               "sudo systemctl stop ModemManager");
    return text;
}

QString NoPermission(const QString &devicePath)
{
    struct stat st {
    };
    // Joining the device's group helps only when that group may read and write it, and root's
    // group is no group to join.
    QString group;
    if (::stat(QFile::encodeName(devicePath).constData(), &st) == 0 && st.st_gid != 0 &&
        (st.st_mode & 060) == 060) {
        if (const struct group *entry = ::getgrgid(st.st_gid))
            group = QString::fromLocal8Bit(entry->gr_name);
    }
    const passwd *user = ::getpwuid(::geteuid());
    const QString login = user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("$USER");
    if (group.isEmpty())
        return QStringLiteral("%1: нет прав на доступ к порту").arg(devicePath);
    return QStringLiteral("%1: нет прав на доступ к порту. Порт открыт для группы %2: "
                          "добавьте себя в неё командой «sudo usermod -aG %2 %3» и войдите в "
                          "систему заново")
        .arg(devicePath, group, login);
}

QString Vanished(const QString &devicePath)
{
    return QStringLiteral("%1: порт пропал — устройство отключено или удалено").arg(devicePath);
}

} // namespace PortDiagnosis
