#pragma once

#include "platform/SystemError.h"

#include <QString>

// The UUCP lock-file convention that serial programs on this system honour: a file
// LCK..<device> in /run/lock (or /var/lock) holding the owner's process id. A port is ours only
// while that file names us; a file naming a process that no longer exists is stale and free.
namespace PortLock
{

// The lock file for a device path (links resolved: /dev/ttyUSB0 -> LCK..ttyUSB0,
// /dev/pts/3 -> LCK..pts_3). Empty when neither lock directory is writable, and the convention
// is then skipped.
QString LockFilePath(const QString &devicePath);

// Takes the lock file for the device. On success lockFile names the file created (empty when the
// convention is skipped). Fails with a reason when a live process holds the port, this process
// included, or when the file cannot be written.
TResult Acquire(const QString &devicePath, QString &lockFile);

// Removes the lock file if it still names this process.
void Release(const QString &lockFile);

// The process id a lock file names; 0 when it is missing or unreadable.
long OwnerOf(const QString &lockFile);

} // namespace PortLock
