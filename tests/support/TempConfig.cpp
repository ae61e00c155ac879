#include "support/TempConfig.h"

#include "ports/PortMap.h"
#include "settings/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

TTempConfig::TTempConfig()
{
    FSavedSysRoot = PortMap::SysRoot();
    FSavedDevRoot = PortMap::DevRoot();
    if (!FDir.isValid())
        return;
    const QDir root(FDir.path());
    FValid = root.mkpath(QStringLiteral("config")) && root.mkpath(QStringLiteral("sys")) &&
             root.mkpath(QStringLiteral("dev")) &&
             ::mkdir(QFile::encodeName(RuntimeDir()).constData(), 0700) == 0;
    Save("XDG_CONFIG_HOME", Root() + QStringLiteral("/config"));
    Save("XDG_RUNTIME_DIR", RuntimeDir());
    PortMap::SetDiscoveryRoots(SysRoot(), DevRoot());
}

TTempConfig::~TTempConfig()
{
    for (const TSavedVariable &saved : FSaved) {
        if (saved.WasSet)
            qputenv(saved.Name.constData(), saved.Value);
        else
            qunsetenv(saved.Name.constData());
    }
    PortMap::SetDiscoveryRoots(FSavedSysRoot, FSavedDevRoot);
}

void TTempConfig::Save(const char *name, const QString &value)
{
    FSaved.append({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
    qputenv(name, QFile::encodeName(value));
}

QString TTempConfig::ConfigDir() const
{
    return Paths::ConfigDir();
}

bool TTempConfig::WritePortMap(const QStringList &lines) const
{
    if (!QDir().mkpath(ConfigDir()))
        return false;
    QSaveFile file(Paths::PortMapFile());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QString &line : lines)
        file.write((line + u'\n').toUtf8());
    return file.commit();
}

QStringList TTempConfig::ReadPortMap() const
{
    QFile file(Paths::PortMapFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

bool TTempConfig::BlockConfigDir() const
{
    const QString dir = ConfigDir().chopped(1);
    QFile blocker(dir);
    return QDir(dir).removeRecursively() && QDir().mkpath(QFileInfo(dir).path()) &&
           blocker.open(QIODevice::WriteOnly);
}
