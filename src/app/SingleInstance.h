#pragma once

#include <QString>

// The single-instance guard: an exclusive lock on a file, held for the life of the process.
class TSingleInstance
{
public:
    explicit TSingleInstance(const QString &lockFile);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance &) = delete;
    TSingleInstance &operator=(const TSingleInstance &) = delete;

    // False when another running instance holds the lock.
    bool IsFirst() const { return FFirst; }

private:
    int FFd = -1;
    bool FFirst = false;
};
