#include "line/tty/DeviceSysfs.h"

#include <QFile>
#include <QFileInfo>

namespace DeviceSysfs
{

QString ReadAttribute(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

QString DriverName(const QString &ttyDir)
{
    const QString target = QFile::symLinkTarget(ttyDir + QStringLiteral("/device/driver"));
    return QFileInfo(target).fileName();
}

QString Describe(const QString &sysRoot, const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return path;
    const QString ttyDir =
        sysRoot + QStringLiteral("/class/tty/") + QFileInfo(canonical).fileName();
    QString dir = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
    if (dir.isEmpty())
        return path;
    // The USB product string sits on the USB device, a level or two above the tty's interface.
    const QString top = QFileInfo(sysRoot).canonicalFilePath();
    for (int level = 0; level < 4 && dir.startsWith(top + u'/'); ++level) {
        const QString product = ReadAttribute(dir + QStringLiteral("/product"));
        if (!product.isEmpty())
            return product;
        dir = QFileInfo(dir).path();
    }
    const QString driver = DriverName(ttyDir);
    return driver.isEmpty() ? path : driver;
}

} // namespace DeviceSysfs
