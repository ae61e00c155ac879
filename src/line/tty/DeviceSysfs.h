#pragma once

#include <QString>

// What sysfs tells of a device file's hardware. The sysfs root is a parameter so that the same
// code runs on a tree a test builds.
namespace DeviceSysfs
{

// A sysfs attribute's text (at most 256 bytes, trimmed); empty when it cannot be read.
QString ReadAttribute(const QString &fileName);
// The name of the driver behind /sys/class/tty/<name> (its device/driver link); empty for none.
QString DriverName(const QString &ttyDir);
// What the port list shows for a device file: the USB product string, else the driver's name,
// else the path itself.
QString Describe(const QString &sysRoot, const QString &path);

} // namespace DeviceSysfs
