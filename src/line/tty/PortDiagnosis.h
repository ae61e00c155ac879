#pragma once

#include <QString>

// Why a port cannot be opened, in words that say what to do: the reasons a user of a serial
// program most often meets on Linux (no permission, a port held by another program such as
// ModemManager, an adapter that has gone).
namespace PortDiagnosis
{

// The name of a running process ("ModemManager"); empty when it cannot be read.
QString ProcessName(long pid);

// The programs other than this one that hold the device open, as "ModemManager (процесс 812)";
// empty when none can be seen (the processes of other users are visible to root only).
QString Holders(const QString &devicePath);

// A port held by another program: its name and process id where they can be found, and for
// ModemManager, which probes every new modem, what to do about it.
QString Busy(const QString &devicePath, long knownPid = 0);

// No permission to open the device: the group it belongs to and the command to join it.
QString NoPermission(const QString &devicePath);

// The device has gone (an adapter pulled out, a node removed).
QString Vanished(const QString &devicePath);

} // namespace PortDiagnosis
