#pragma once

#include "app/LinkRelay.h"
#include "endpoint/TServerSocket.h"
#include "support/Pty.h"
#include "support/RecordingRelayHost.h"
#include "support/RelayAccess.h"
#include "support/TempConfig.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <atomic>
#include <thread>

class QTcpSocket;

// A link relay among real parts: a pseudo-terminal line mapped as COM7 in a private config, on
// which the test plays the device; a recording view that names COM7; and an endpoint on a free
// port of 127.0.0.1 whose client events reach the relay as the main window passes them on.
class TRelayBench
{
public:
    TRelayBench();

    // The config and the line are ready, and the endpoint listens on Port.
    [[nodiscard]] bool Start();
    // Opens the port as a cable connect does.
    [[nodiscard]] bool OpenPort();
    // The relaying state of a cable link: the port open, connected, the command "Отключить".
    [[nodiscard]] bool BeginRelay();
    // Connects the client and waits until the relay counts it as the setup program.
    [[nodiscard]] bool Connect(QTcpSocket &client);
    // Runs passes until done() holds; false when the time runs out first.
    template <typename Done> [[nodiscard]] bool PassUntil(Done done, int timeoutMs = 60000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            Relay.Pass();
        }
        return true;
    }
    TLinkRelay::TTestAccess State() { return TLinkRelay::TTestAccess(Relay); }

    TTempConfig Config;
    TPty Pty;
    TRecordingRelayHost Host;
    TServerSocket Endpoint;
    TLinkRelay Relay{Host, Endpoint};
    quint16 Port = 0;
};

// The device's side of a busy line, run on a thread of its own while the test relays: it sends
// Outgoing to the line as fast as the line takes it and collects everything the relay writes,
// until Stop (or until it has collected Expected bytes and sent all it had).
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
