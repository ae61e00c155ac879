#include "support/FakeSysfs.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace
{

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

} // namespace

TFakeSysfs::TFakeSysfs(const QString &sysRoot, const QString &devRoot)
    : FSys(sysRoot), FDev(devRoot)
{
    QDir().mkpath(FSys + "/class/tty");
    QDir().mkpath(FDev);
}

bool TFakeSysfs::AddTty(const QString &name, const QString &deviceDir, const QString &bus,
                        const QString &driver, const QString &type, bool withNode)
{
    const QString device = FSys + "/devices/" + deviceDir;
    const QString ttyDir = device + "/tty/" + name;
    const QString driverDir = FSys + "/bus/" + bus + "/drivers/" + driver;
    if (!QDir().mkpath(ttyDir) || !QDir().mkpath(driverDir))
        return false;
    QFile::remove(device + "/driver");
    bool ok = QFile::link(driverDir, device + "/driver") &&
              QFile::link(device, ttyDir + "/device") &&
              QFile::link(ttyDir, FSys + "/class/tty/" + name);
    if (!type.isEmpty())
        ok = ok && writeFile(ttyDir + "/type", type.toLatin1() + '\n');
    if (withNode)
        ok = ok && writeFile(FDev + '/' + name, {});
    return ok;
}

bool TFakeSysfs::AddVirtualTty(const QString &name)
{
    const QString ttyDir = FSys + "/devices/virtual/tty/" + name;
    return QDir().mkpath(ttyDir) && QFile::link(ttyDir, FSys + "/class/tty/" + name) &&
           writeFile(FDev + '/' + name, {});
}

bool TFakeSysfs::SetProduct(const QString &deviceDir, const QString &product)
{
    return writeFile(FSys + "/devices/" + deviceDir + "/product", product.toUtf8() + '\n');
}

bool TFakeSysfs::AddById(const QString &link, const QString &tty)
{
    const QString dir = FDev + "/serial/by-id";
    // Relative, as udev makes them.
    return QDir().mkpath(dir) && ::symlink(QFile::encodeName("../../" + tty).constData(),
                                           QFile::encodeName(dir + '/' + link).constData()) == 0;
}

bool TFakeSysfs::RemoveTty(const QString &name)
{
    return QFile::remove(FSys + "/class/tty/" + name) && QFile::remove(FDev + '/' + name);
}
