#pragma once

#include "app/LinkRelay.h"
#include "app/LinkView.h"
#include "app/SetupLauncher.h"
#include "endpoint/TServerSocket.h"
#include "ports/COMUtils.h"
#include "settings/ConnectionType.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QTimer;
class QToolButton;
class TCOMSettingsForm;
class TCallInListener;
class TPortWatcher;
class TRefusalLog;
class TLOGForm;
class TRingThread;
class TTCPServerSettingsForm;
class TURLLabel;

// The connection wizard's main window. It owns the serial port, the dialer thread of the current
// or last modem attempt, the TCP endpoint, the one transfer buffer and the link state; every
// link runs on its thread, nested inside the handler that started it.
class TMainLindqvarForm : public QWidget, private TLinkView
{
    Q_OBJECT

public:
    explicit TMainLindqvarForm(QWidget *parent = nullptr);
    ~TMainLindqvarForm() override;

    // The three hidden windows are created after the main window and attached here.
    void AttachWindows(TCOMSettingsForm *comSettings, TTCPServerSettingsForm *tcpSettings,
                       TLOGForm *logForm);

    // Start-up and the window's own handlers.
    void FormCreate();
    void ConnectTypeComboBoxChange();
    void SpeedButton1Click();
    void SelectComboItem(QComboBox *combo, const QString &text);
    void LoadPhoneList();
    void SavePhoneNumber(const QString &number);
    void LoadPortSettings();
    void SavePortSettings();

    // The connection command and the modem attempt's window side.
    void URLLabel1Click();

    // The bridge loop.
    void MainLoop();

    // The link's relay: its serial steps, identification, transfer buffer and endpoint sends
    // (the operations of a link by their designed names).
    TLinkRelay &Relay() { return FRelay; }
    // Whether the setup program of the link has been started (and not yet ended).
    bool SetupStarted() const { return FSetup.Started(); }

    // The TCP endpoint.
    void StartServer();
    void StopServer();

    // The event log of the window thread.
    void WriteLog(const QString &message, const QString &prefix = QString()) override;
    void WriteLogBytes(QByteArrayView bytes, const QString &prefix) override;

    // The connection command's state, as its Tag holds it.
    TCommandState CommandState() const override;

    // What tests may read and set of the window's state, beyond the operations above: see
    // tests/support/MainFormAccess.h. The program itself never uses it.
    struct TTestAccess;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The window's own handlers and steps that only it calls: keys, the port list, the dialer's
    // messages, closing, the end of a modem call, the setup program, the endpoint's events.
    void FormKeyDown(int key, Qt::KeyboardModifiers shift);
    void RefreshPortList();
    void RingThreadTerminate(TRingThread *sender);
    void WMRingProgress(int stage);
    void FormClose();
    bool DetectModemFailure(int count);
    void LaunchSetup();
    void TerminateSetup();
    void ServerSocketClientConnect(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientDisconnect(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientRead(TServerSocket *sender, TCustomWinSocket *socket);
    void ServerSocketClientError(TServerSocket *sender, TCustomWinSocket *socket,
                                 TErrorEvent errorEvent, int &errorCode);

    // Controls, named as designed; tests find them by these object names.
    QLabel *Label3 = nullptr;
    QComboBox *ConnectTypeComboBox = nullptr;
    QLabel *Label4 = nullptr;
    QComboBox *PortsListComboBox = nullptr;
    QToolButton *SpeedButton1 = nullptr;
    QLabel *Label5 = nullptr;
    QComboBox *PhoneNumber = nullptr;
    TURLLabel *URLLabel1 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    TServerSocket *ServerSocket = nullptr;
    // The windows created after this one.
    TCOMSettingsForm *COMSettingsForm = nullptr;
    TTCPServerSettingsForm *TCPServerSettingsForm = nullptr;
    TLOGForm *LOGForm = nullptr;

    void CreateControls();
    // The port list follows the hardware while no link runs: called when the ports may have
    // changed (an adapter plugged in or pulled out, the port map edited). The list is refreshed
    // without a message box, and the selected port stays selected while it is there.
    void PortsMayHaveChanged();
    // One pass of the bridge loop.
    void RelayPass();

    // Status label: a text and a colour, always set together.
    void SetStatus(const QString &text, bool alarm) override;
    // The command's state: its Tag and its caption, always set together.
    void SetCommand(TCommandState state) override;
    // Back to idle: the command "Подключить", the status "Нет подключения" in the normal colour,
    // and the log line that says why. The inputs are enabled by the caller, at its own step.
    void ShowIdle(const QString &logLine) override;
    void EnableInputs(bool enabled) override;
    QString LinkPortName() const override;
    // The speed of the COM speed dialog, the default when its text is no number.
    int CableSpeed() const override;
    // The type chosen in the connection type box; none while nothing is chosen.
    std::optional<TConnectionType> ConnectionType() const;

    // The body of MainLoop: identification, start, the passes and the end of one link.
    void RunLink();
    // Ends a link that an error is unwinding: port closed, endpoint stopped, setup program
    // ended, command idle with its inputs enabled; the error goes to the log.
    void AbandonLink(const QString &error);
    void StartRingThread();
    void CancelRingThread();
    // Frees a finished dialer now, a dialer still ending as soon as it has ended.
    void RetireRingThread(std::unique_ptr<TRingThread> ring);

    // The link: its state, its transfer buffer and its relay.
    TLinkRelay FRelay;
    // How many runs of MainLoop are on the stack (at most one).
    int FMainLoopDepth = 0;
    // Called at the start of every pass when set, for measurements of the loop; null in the
    // program (the benchmark sets it).
    std::function<void()> PassObserver;

    // The device's identification reply, and the setup program started for it.
    QByteArray FVerInfo;
    TSetupLauncher FSetup;

    // The dialer thread of the current or last modem attempt.
    std::unique_ptr<TRingThread> FRing;
    // The dialers whose completion handler is on this thread's stack now (each one waits).
    QList<const TRingThread *> FRingsTerminating;

    // What the log says of refused connections to the endpoint.
    TRefusalLog *FRefusals = nullptr;
    TPortWatcher *FPortWatcher = nullptr;
    // Devices that call in, listened for as the port map says.
    TCallInListener *FCallIns = nullptr;
    // A change of the ports seen while a link ran is looked at again until the window is idle.
    QTimer *FPortRefreshRetry = nullptr;
};

// The status label's normal colour, the button-text colour of the palette.
QColor NormalStatusColor();
inline const QColor AlarmStatusColor{255, 0, 0};
