#pragma once

#include <QString>

#include <sys/types.h>

// A child process that opens a device and, if asked, holds flock() on it, as another serial
// program would; it keeps the port until the object is destroyed. Raw system calls only in the
// child, so it is safe to start from a test process.
class TPortHolder
{
public:
    TPortHolder(const QString &path, bool takeFlock);
    ~TPortHolder();
    TPortHolder(const TPortHolder &) = delete;
    TPortHolder &operator=(const TPortHolder &) = delete;

    // True once the child has the device open (and locked, if asked).
    bool IsHolding() const { return FHolding; }
    pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
    int FRelease = -1;
    bool FHolding = false;
};

// The id of a process that has already ended and been reaped.
pid_t DeadPid();

// Writes a UUCP lock file naming the process.
bool WriteLockFile(const QString &lockFile, pid_t pid);
