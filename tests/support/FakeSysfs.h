#pragma once

#include <QString>

// Builds the corner of sysfs and /dev that port discovery reads, under two fake roots: the tty
// class links, device and driver links, the UART type attribute, USB product strings, device
// nodes (plain files: discovery never opens them, except to ask a serial8250 port its UART type,
// which a plain file cannot answer) and /dev/serial/by-id links.
class TFakeSysfs
{
public:
    TFakeSysfs(const QString &sysRoot, const QString &devRoot);

    // A tty of the given device directory (relative to sys/devices), bound to the driver on
    // the bus. type is the UART type attribute ("" for none); withNode makes its /dev node.
    bool AddTty(const QString &name, const QString &deviceDir, const QString &bus,
                const QString &driver, const QString &type = {}, bool withNode = true);
    // A tty without a device behind it, like a virtual console.
    bool AddVirtualTty(const QString &name);
    // A product string on a device directory (relative to sys/devices).
    bool SetProduct(const QString &deviceDir, const QString &product);
    // /dev/serial/by-id/<link> pointing at the tty's node.
    bool AddById(const QString &link, const QString &tty);
    bool RemoveTty(const QString &name);

private:
    QString FSys;
    QString FDev;
};
