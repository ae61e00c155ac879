#pragma once

#include "app/LinkSession.h"
#include "app/LinkView.h"
#include "settings/ConnectionType.h"

#include <QColor>
#include <QWidget>

#include <optional>

class QComboBox;
class QLabel;
class QToolButton;
class TCOMSettingsForm;
class TLOGForm;
class TTCPServerSettingsForm;
class TURLLabel;

// The connection wizard's main window: its controls, its keys, the port list and the three
// hidden windows. What a click on the connection command does is the link session's; the window
// hands it the user's choices and shows what it says.
class TMainLindqvarForm : public QWidget, private TLinkView
{
    Q_OBJECT

public:
    explicit TMainLindqvarForm(QWidget *parent = nullptr);
    ~TMainLindqvarForm() override;

    // The three hidden windows are created after the main window and attached here.
    void AttachWindows(TCOMSettingsForm *comSettings, TTCPServerSettingsForm *tcpSettings,
                       TLOGForm *logForm);

    // Start-up and the handlers of the window's controls.
    void FormCreate();
    void ConnectTypeComboBoxChange();
    void SpeedButton1Click();
    void URLLabel1Click();

    // The link session: the command's state, the link, its relay, endpoint and setup program.
    TLinkSession &Session() { return *FSession; }
    const TLinkSession &Session() const { return *FSession; }

    // What tests may read of the window beyond the above: see tests/support/MainFormAccess.h.
    // The program itself never uses it.
    struct TTestAccess;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void FormKeyDown(int key, Qt::KeyboardModifiers shift);
    void FormClose();
    // The port list read again; a box says so when no port is found.
    void RefreshPortList();

    // The controls the window works with, named as designed; tests find them by these object
    // names, and the labels that never change ("Тип подключения:", "Статус:") by theirs.
    QComboBox *ConnectTypeComboBox = nullptr;
    QLabel *Label4 = nullptr;
    QComboBox *PortsListComboBox = nullptr;
    QToolButton *SpeedButton1 = nullptr;
    QLabel *Label5 = nullptr;
    QComboBox *PhoneNumber = nullptr;
    TURLLabel *URLLabel1 = nullptr;
    QLabel *Label7 = nullptr;
    // The windows created after this one.
    TCOMSettingsForm *COMSettingsForm = nullptr;
    TTCPServerSettingsForm *TCPServerSettingsForm = nullptr;
    TLOGForm *LOGForm = nullptr;

    void CreateControls();
    // The type chosen in the connection type box; none while nothing is chosen.
    std::optional<TConnectionType> ConnectionType() const;

    // TLinkView: what the session shows.
    void WriteLog(const QString &message, const QString &prefix = QString()) override;
    void WriteLogBytes(QByteArrayView bytes, const QString &prefix) override;
    void ShowStatus(const QString &text, bool alarm) override;
    void ShowCommand(TCommandState state) override;
    void EnableCommand(bool enabled) override;
    void EnableInputs(bool enabled) override;
    void ShowPorts(const QStringList &names) override;
    void RefreshPorts() override;
    void RememberPhoneNumber(const QString &number) override;
    void ShowServerPort(int port) override;
    void BringToFront() override;

    // Owned; a child, so that tests find its endpoint by name. Deleted first in the destructor,
    // while the window it shows things in is still whole.
    TLinkSession *FSession = nullptr;
};

// The status label's normal colour, the button-text colour of the palette.
QColor NormalStatusColor();
inline const QColor AlarmStatusColor{255, 0, 0};
