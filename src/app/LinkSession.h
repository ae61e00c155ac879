#pragma once

#include "app/LinkRelay.h"
#include "app/RelayHost.h"
#include "app/SetupLauncher.h"
#include "endpoint/TServerSocket.h"
#include "log/ThreadLogWriter.h"
#include "settings/ConnectionType.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QTimer;
class QWidget;
class TCallInListener;
class TLinkView;
class TPortWatcher;
class TRefusalLog;
class TRingThread;

// The user's choices for a link, as the window's boxes hold them when the command is given.
struct TLinkChoice {
    std::optional<TConnectionType> Type; // none while nothing is chosen
    QString Port;
    QString Phone;
};

// One link's session, without widgets: the connection command's states, the modem attempt (its
// dialer's start, cancel, hand-over and completion), running and abandoning a link, the TCP
// endpoint, the setup program, and the port list's following of the hardware. It owns the relay,
// the launcher, the dialer and the endpoint, and tells the window what to show (TLinkView).
// Every link runs on the window thread, nested inside the command that started it.
class TLinkSession : public QObject, private TRelayHost
{
    Q_OBJECT

public:
    // Message boxes are shown over window, which is also the session's parent (either may be
    // null in tests).
    TLinkSession(TLinkView &view, QWidget *window);
    // A dialer is stopped, the port closed and the setup program ended.
    ~TLinkSession() override;

    // Listening for devices that call in starts now, since from here on what the listener says
    // reaches the log; the dialer logs into threadLog.
    void Start(TLogSink threadLog);

    // The connection command: connect, cancel, disconnect or dial again, by its state.
    void RunCommand(const TLinkChoice &choice);
    // The window closes: the link ends, a dialer still dialling is stopped, the setup program
    // ends.
    void Close();

    // The ports there now (GetDosDevices). A discovery that failed is not fatal, as the ports the
    // port map holds are still listed: its reason goes to the log, and to the program's error
    // output, since the log is hidden at start.
    QStringList FindPorts();

    // The speed of a cable link's port and the endpoint's TCP port, as chosen in the settings
    // dialogs: in effect from the next port open and the next endpoint start.
    void SetCableSpeed(int speed) { FCableSpeed = speed; }
    int CableSpeed() const override { return FCableSpeed; }
    void SetServerPort(int port) { FServerPort = port; }

    // The bridge loop: identification, the setup program, the relay's passes until the link
    // ends, and its end.
    void MainLoop();
    // The TCP endpoint the setup program connects to.
    void StartServer();
    void StopServer();

    // What the session knows.
    TCommandState CommandState() const override { return FCommand; }
    // Whether a link is running (its MainLoop on the stack).
    bool LinkRunning() const { return FMainLoopDepth > 0; }
    // The status shown.
    const QString &Status() const { return FStatus; }
    // The link's relay: its serial steps, identification, transfer buffer and endpoint sends.
    TLinkRelay &Relay() { return FRelay; }
    // The setup program of the link, and the device's identification reply it was chosen by.
    const TSetupLauncher &Setup() const { return FSetup; }
    bool SetupStarted() const { return FSetup.Started(); }
    const QByteArray &VerInfo() const { return FVerInfo; }
    // The dialer of the current or last modem attempt; null when none is kept.
    const TRingThread *Dialer() const { return FRing.get(); }

    // Called at the start of every pass when set, for measurements of the loop; the program
    // leaves it unset.
    void SetPassObserver(std::function<void()> observer) { FPassObserver = std::move(observer); }

    // What tests set beyond the operations above: see tests/support/MainFormAccess.h.
    struct TTestAccess;

protected:
    bool event(QEvent *event) override;

private:
    // TRelayHost: what the relay tells and asks.
    void WriteLog(const QString &message, const QString &prefix = QString()) override;
    void WriteLogBytes(QByteArrayView bytes, const QString &prefix) override;
    void SetStatus(const QString &text, bool alarm) override;
    void SetCommand(TCommandState state) override;
    void ShowIdle(const QString &logLine) override;
    void EnableInputs(bool enabled) override;
    QString LinkPortName() const override { return FLinkPort; }

    // The command's steps by state.
    void Connect(TConnectionType type, const TLinkChoice &choice);
    // Runs a step that starts a link; a fault it raises abandons the link, then goes on up.
    template <typename Step> void Starting(Step &&step);
    void Cancel();
    void Disconnect();

    void StartRingThread(const TLinkChoice &choice);
    void CancelRingThread();
    // Frees a finished dialer now, a dialer still ending as soon as it has ended.
    void RetireRingThread(std::unique_ptr<TRingThread> ring);
    void RingThreadTerminate(TRingThread *sender);
    void WMRingProgress(int stage);

    // The setup program of the device that answered, started unless one runs already; and its
    // end.
    void LaunchSetup();
    void TerminateSetup();
    // The endpoint's events: the setup program connects, disconnects, sends; a client's error.
    void ServerSocketClientConnect(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientDisconnect(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientRead(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientError(TServerSocket *sender, TCustomWinSocket *socket,
                                 TErrorEvent errorEvent, int &errorCode);

    // The body of MainLoop.
    void RunLink();
    // Ends a link that an error is unwinding: port closed, endpoint stopped, setup program
    // ended, command idle with its inputs enabled; the error goes to the log.
    void AbandonLink(const QString &error);
    // Ends a link start that cannot go on: the box and the log say why, the link is closed.
    void RefuseStart(const QString &logLine, const QString &boxText, const QString &idleLine);

    // The port list follows the hardware while no link runs: called when the ports may have
    // changed (an adapter plugged in or pulled out, a device calling in, the port map edited).
    void PortsMayHaveChanged();

    TLinkView &FView;
    QWidget *FWindow;

    TCommandState FCommand = TCommandState::Idle;
    QString FStatus;
    // The port of the current or last link, and the settings in effect.
    QString FLinkPort;
    int FCableSpeed;
    int FServerPort;

    TServerSocket *FEndpoint;
    TLinkRelay FRelay;
    // How many runs of MainLoop are on the stack (at most one).
    int FMainLoopDepth = 0;
    std::function<void()> FPassObserver;

    // The device's identification reply, and the setup program started for it.
    QByteArray FVerInfo;
    TSetupLauncher FSetup;

    // The dialer thread of the current or last modem attempt, and where it logs.
    std::unique_ptr<TRingThread> FRing;
    TLogSink FThreadLog;
    // The dialers whose completion handler is on this thread's stack now (each one waits).
    QList<const TRingThread *> FRingsTerminating;

    // What the log says of refused connections to the endpoint.
    TRefusalLog *FRefusals;
    TPortWatcher *FPortWatcher;
    // Devices that call in, listened for as the port map says.
    TCallInListener *FCallIns;
    // A change of the ports seen while a link ran is looked at again until the session is idle.
    QTimer *FPortRefreshRetry;
};
