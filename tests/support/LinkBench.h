#pragma once

#include "support/PatternBytes.h"
#include "support/Pty.h"
#include "support/WizardFixture.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

class TMainLindqvarForm;

// The main window with a cable line the test holds: a pseudo-terminal mapped as COM7 and
// selected in the port list, so that the window's own link steps act on it while the test plays
// the device on the master side.
class TLinkBench
{
public:
    TLinkBench();
    ~TLinkBench();

    // Maps COM7 to the pty, starts the windows with the log shown, selects COM7 and the cable type.
    [[nodiscard]] bool Start();
    // Opens the port as a cable connect does; the handle is left in FCOMHandle.
    [[nodiscard]] bool OpenPort();
    // The relaying state of a link: the port open, FConnected, command 2 and the endpoint
    // listening on a free port (Port).
    [[nodiscard]] bool BeginRelay();

    TMainLindqvarForm &W() const;
    static QString ComName() { return QStringLiteral("COM7"); }

    TWizardFixture F;
    TPty Pty;
    quint16 Port = 0;
};

// The device's side of a busy line, run on a thread of its own while the window thread relays:
// it sends Outgoing to the line as fast as the line takes it and collects everything the window
// writes, until Stop (or until it has collected Expected bytes and sent all it had).
class TLineDevice
{
public:
    TLineDevice(int masterFd, QByteArray outgoing, qsizetype expected);
    ~TLineDevice();
    TLineDevice(const TLineDevice &) = delete;
    TLineDevice &operator=(const TLineDevice &) = delete;

    bool Finished() const { return FFinished; }
    // What the device has collected; call after Finished() or Stop().
    QByteArray Received() const { return FReceived; }
    void Stop();

private:
    void Run();

    int FMaster;
    QByteArray FOutgoing;
    qsizetype FExpected;
    QByteArray FReceived;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FFinished{false};
    std::thread FThread;
};
