#pragma once

#include "ports/PortMap.h"

#include <QList>
#include <QString>

// A serial device found in sysfs.
struct TSerialDevice {
    QString TtyName;     // ttyS0, ttyUSB0, ttyACM0, ...
    QString DevicePath;  // its node under the device root
    QString StablePath;  // the serial/by-id link when there is one, else DevicePath
    int FixedNumber = 0; // k + 1 for the UART ttyS<k>, whose name the system fixes; 0 otherwise
};

// Finds the serial hardware present now by reading sysfs. Both roots are parameters so that the
// same code runs on a tree a test builds.
namespace PortDiscovery
{

// Real UARTs, USB and ACM adapters and other ttys backed by a device, in the order UARTs by
// number, then the rest by name. Phantom ttyS ports (no UART behind them) are left out.
QList<TSerialDevice> Scan(const QString &sysRoot, const QString &devRoot);

// Lines for the devices that the map does not cover yet: ttyS<k> as COM<k+1>, the rest (and a
// UART whose number is taken) as the lowest free COM number from COM3 upward.
QList<TPortMapEntry> NewEntries(const QList<TPortMapEntry> &map,
                                const QList<TSerialDevice> &devices);

} // namespace PortDiscovery
