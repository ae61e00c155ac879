#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A pseudo-terminal pair standing in for a serial cable. The code under test opens the slave by
// its path (through a port map line); the test plays the device on the master.
//
// The pair is made as the stand-in tools make theirs (tools::openPty): the slave starts in raw
// mode, so nothing is echoed before the code under test configures it, and the pair keeps a
// slave descriptor of its own, so the master never reads EIO while the code under test has the
// port closed. Both descriptors are close-on-exec and non-blocking.
class TPty
{
public:
    TPty();
    ~TPty();
    TPty(const TPty &) = delete;
    TPty &operator=(const TPty &) = delete;

    // False when no pseudo-terminal could be made; Error() then says why.
    bool IsValid() const { return FMaster >= 0; }
    QString Error() const { return FError; }

    // /dev/pts/<n>, the path a port map line points at.
    QString SlavePath() const { return FSlavePath; }
    // A link to the slave in the test's own folder, for a port map line of a port the test
    // unplugs: Unplug removes it first. The /dev/pts number itself is free once the pair is
    // closed, and a test running beside this one may get it for a pty of its own at once.
    QString StablePath(const QString &folder);
    int MasterFd() const { return FMaster; }
    int SlaveFd() const { return FSlave; }

    // Writes every byte to the master (what the device sends); false if the deadline passes first.
    bool Write(const QByteArray &data, int timeoutMs = 10000);
    // Reads from the master (what the code under test sent) until count bytes have arrived or the
    // deadline passes; returns what arrived.
    QByteArray Read(int count, int timeoutMs = 10000);
    // Waits up to timeoutMs for the first bytes, then takes what follows until the line has been
    // quiet for quietMs.
    QByteArray ReadQuiet(int quietMs = 200, int timeoutMs = 10000);
    // Bytes the device sent that wait in the slave's input queue, not yet read by the code under
    // test (TIOCINQ on the pair's own slave descriptor); -1 when the count cannot be read.
    int SlaveInputQueued() const;
    // The line's speed as the code under test set it (B9600, ...); B0 when it cannot be read.
    int SlaveSpeed() const;

    // Pulls the cable: removes the stable links, then closes the master and the pair's own slave
    // descriptor. The /dev/pts node vanishes; a slave descriptor held by the code under test
    // reads end-of-file and fails writes.
    void Unplug();
    bool IsPlugged() const { return FMaster >= 0; }

private:
    int FMaster = -1;
    int FSlave = -1;
    QString FSlavePath;
    QString FError;
    QStringList FLinks;
};

// The speed set on a terminal another process holds (a stand-in's pseudo-terminal that a device
// server serves), read through a descriptor of our own: B9600, ...; B0 when it cannot be read.
int LineSpeedOf(const QString &device);
