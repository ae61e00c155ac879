#include "ports/PortDiscovery.h"

#include "line/tty/DeviceSysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

// The number k of ttyS<k>; -1 for other names.
int uartIndex(const QString &name)
{
    if (!name.startsWith(QLatin1String("ttyS")) || name.size() == 4)
        return -1;
    bool ok = false;
    const int index = QStringView(name).mid(4).toInt(&ok);
    return ok && index >= 0 ? index : -1;
}

// The serial8250 driver registers a fixed number of ports whether or not a UART answers at
// their addresses. The only way to tell which exist is to open the port and ask the driver for
// the UART type, which it reports as unknown for an empty slot.
bool uartAnswers(const QString &node)
{
    const int fd =
        ::open(QFile::encodeName(node).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct serial_struct info = {};
    const bool real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

bool isRealUart(const QString &ttyDir, const QString &node)
{
    // The serial core publishes the UART type in sysfs: reading it needs no open of the port.
    const QString type = DeviceSysfs::ReadAttribute(ttyDir + QStringLiteral("/type"));
    if (!type.isEmpty())
        return type != QLatin1String("0");
    const QString driver = DeviceSysfs::DriverName(ttyDir);
    if (driver == QLatin1String("serial8250") || driver == QLatin1String("port"))
        return uartAnswers(node);
    return !driver.isEmpty();
}

// tty name -> its /dev/serial/by-id link, the path that stays the same when an adapter is
// plugged into another socket.
QHash<QString, QString> stableLinks(const QString &devRoot)
{
    QHash<QString, QString> links;
    const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
    const QFileInfoList entries =
        byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString tty = QFileInfo(entry.symLinkTarget()).fileName();
        if (!tty.isEmpty() && !links.contains(tty))
            links.insert(tty, entry.filePath());
    }
    return links;
}

// Orders ttyUSB2 before ttyUSB10.
bool byNameAndNumber(const TSerialDevice &a, const TSerialDevice &b)
{
    const auto split = [](const QString &name) {
        qsizetype digits = name.size();
        while (digits > 0 && name.at(digits - 1).isDigit())
            --digits;
        return std::make_pair(name.left(digits), name.mid(digits).toLongLong());
    };
    if ((a.FixedNumber > 0) != (b.FixedNumber > 0))
        return a.FixedNumber > 0;
    return split(a.TtyName) < split(b.TtyName);
}

} // namespace

namespace PortDiscovery
{

QList<TSerialDevice> Scan(const QString &sysRoot, const QString &devRoot)
{
    QList<TSerialDevice> devices;
    const QString classDir = sysRoot + QStringLiteral("/class/tty/");
    const QStringList names = QDir(classDir).entryList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    const QHash<QString, QString> links = stableLinks(devRoot);
    for (const QString &name : names) {
        const QString ttyDir = classDir + name;
        const QString node = devRoot + u'/' + name;
        // Virtual consoles, ptmx and the like have no device behind them.
        if (!QFileInfo::exists(ttyDir + QStringLiteral("/device")) || !QFileInfo::exists(node))
            continue;
        TSerialDevice device;
        device.TtyName = name;
        device.DevicePath = node;
        device.StablePath = links.value(name, node);
        const int uart = uartIndex(name);
        if (uart >= 0) {
            if (!isRealUart(ttyDir, node))
                continue;
            device.FixedNumber = uart + 1;
        } else if (DeviceSysfs::DriverName(ttyDir).isEmpty()) {
            continue;
        }
        devices.append(device);
    }
    std::sort(devices.begin(), devices.end(), byNameAndNumber);
    return devices;
}

QList<TPortMapEntry> NewEntries(const QList<TPortMapEntry> &map,
                                const QList<TSerialDevice> &devices)
{
    QSet<int> used;
    QSet<QString> known;
    const auto remember = [&known](const QString &path) {
        known.insert(path);
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty())
            known.insert(canonical);
    };
    for (const TPortMapEntry &entry : map) {
        used.insert(PortMap::PortNumber(entry.Name));
        remember(entry.Path);
    }

    QList<TPortMapEntry> added;
    for (const TSerialDevice &device : devices) {
        const QString canonical = QFileInfo(device.DevicePath).canonicalFilePath();
        if (known.contains(device.StablePath) || known.contains(device.DevicePath) ||
            (!canonical.isEmpty() && known.contains(canonical)))
            continue;
        int number = device.FixedNumber;
        if (number <= 0 || used.contains(number)) {
            number = 3;
            while (used.contains(number))
                ++number;
        }
        used.insert(number);
        remember(device.StablePath);
        remember(device.DevicePath);
        added.append({QStringLiteral("COM%1").arg(number), device.StablePath});
    }
    return added;
}

} // namespace PortDiscovery
