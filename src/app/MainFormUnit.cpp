#include "app/MainFormUnit.h"

#include "app/ExceptionHandler.h"
#include "app/FileVersion.h"
#include "controls/ComboItems.h"
#include "controls/Dialogs.h"
#include "controls/URLLabel.h"
#include "log/LOGUnit.h"
#include "settings/COMSettingsUnit.h"
#include "settings/PortSettings.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

namespace
{

// A screen reader says a control's new name (a label's text) when it hears of the change.
void AnnounceNameChange(QWidget *control)
{
    QAccessibleEvent changed(control, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

const QString DesignedCaption = QStringLiteral("Мастер подключения");

} // namespace

QColor NormalStatusColor()
{
    return QApplication::palette().color(QPalette::ButtonText);
}

TMainLindqvarForm::TMainLindqvarForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainLindqvarForm"));
    // Fixed size, only the system menu and the close button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(DesignedCaption);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(8);
    setFont(font);
    setFixedSize(351, 116);
    CreateControls();
    FSession = new TLinkSession(*this, this);

    // Key preview: the window sees every key press before the focused control does.
    qApp->installEventFilter(this);

    // Centred on the screen.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TMainLindqvarForm::~TMainLindqvarForm()
{
    qApp->removeEventFilter(this);
    // The session's end (a dialer stopped, the setup program ended) may still log and show.
    delete FSession;
    FSession = nullptr;
}

void TMainLindqvarForm::CreateControls()
{
    auto place = [this](QWidget *w, const char *name, int x, int y, int width, int height) {
        w->setParent(this);
        w->setObjectName(QLatin1String(name));
        w->setGeometry(x, y, width, height);
    };

    auto *Label3 = new QLabel(QStringLiteral("Тип подключения:"));
    place(Label3, "Label3", 16, 11, 110, 13);

    ConnectTypeComboBox = new QComboBox;
    place(ConnectTypeComboBox, "ConnectTypeComboBox", 128, 8, 215, 21);
    // In the order of TConnectionType.
    for (int index = 0; const std::optional<TConnectionType> type = ConnectionTypeOf(index);
         ++index)
        ConnectTypeComboBox->addItem(ConnectionTypeCaption(*type));
    ConnectTypeComboBox->setCurrentIndex(ConnectionTypeIndex(TConnectionType::Modem));
    // Only the user's choice runs the change handler, as a programmatic selection does not.
    connect(ConnectTypeComboBox, &QComboBox::activated, this,
            [this] { Guarded([this] { ConnectTypeComboBoxChange(); }); });

    Label4 = new QLabel(QStringLiteral("COM-порт:"));
    place(Label4, "Label4", 16, 38, 110, 13);

    PortsListComboBox = new QComboBox;
    place(PortsListComboBox, "PortsListComboBox", 128, 35, 185, 21);

    SpeedButton1 = new QToolButton;
    place(SpeedButton1, "SpeedButton1", 320, 35, 23, 22);
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    connect(SpeedButton1, &QToolButton::clicked, this,
            [this] { Guarded([this] { SpeedButton1Click(); }); });

    Label5 = new QLabel(QStringLiteral("Номер телефона:"));
    place(Label5, "Label5", 16, 65, 110, 13);

    PhoneNumber = new QComboBox;
    place(PhoneNumber, "PhoneNumber", 128, 62, 215, 21);
    PhoneNumber->setEditable(true);
    PhoneNumber->setInsertPolicy(QComboBox::NoInsert);

    URLLabel1 = new TURLLabel;
    place(URLLabel1, "URLLabel1", 16, 89, 120, 13);
    URLLabel1->setText(QStringLiteral("Подключить"));
    connect(URLLabel1, &TURLLabel::clicked, this,
            [this] { Guarded([this] { URLLabel1Click(); }); });

    auto *Label6 = new QLabel(QStringLiteral("Статус:"));
    place(Label6, "Label6", 144, 89, 44, 13);

    Label7 = new QLabel(QStringLiteral("Нет подключения"));
    place(Label7, "Label7", 190, 89, 158, 13);

    setTabOrder(ConnectTypeComboBox, PortsListComboBox);
    setTabOrder(PortsListComboBox, PhoneNumber);
    setTabOrder(PhoneNumber, URLLabel1);

    // For the keyboard and screen readers: each box is named by the label beside it (which is
    // also its buddy), the refresh button by what it does; the command names itself by its
    // caption, and the status label by its text, so that a change of status is announced.
    // F5 refreshes the port list as the button does (which stays out of the tab order).
    const auto nameBy = [](QLabel *label, QWidget *control) {
        label->setBuddy(control);
        control->setAccessibleName(label->text().chopped(1)); // without the colon
    };
    nameBy(Label3, ConnectTypeComboBox);
    nameBy(Label4, PortsListComboBox);
    nameBy(Label5, PhoneNumber);
    SpeedButton1->setAccessibleName(QStringLiteral("Обновить список COM-портов"));
    Label7->setAccessibleDescription(Label6->text().chopped(1));
    auto *refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, [this] {
        Guarded([this] {
            if (SpeedButton1->isEnabled())
                SpeedButton1Click();
        });
    });
}

void TMainLindqvarForm::AttachWindows(TCOMSettingsForm *comSettings,
                                      TTCPServerSettingsForm *tcpSettings, TLOGForm *logForm)
{
    COMSettingsForm = comSettings;
    TCPServerSettingsForm = tcpSettings;
    LOGForm = logForm;
    // The dialogs' choices are in effect from the next open and the next start.
    FSession->SetCableSpeed(COMSettingsForm->Speed());
    FSession->SetServerPort(TCPServerSettingsForm->Port());
    connect(COMSettingsForm, &TCOMSettingsForm::SpeedChanged, FSession,
            &TLinkSession::SetCableSpeed);
    connect(TCPServerSettingsForm, &TTCPServerSettingsForm::PortChanged, FSession,
            &TLinkSession::SetServerPort);
    // From here on what the session says reaches the log.
    FSession->Start(LOGForm->ThreadSink());
}

void TMainLindqvarForm::FormCreate()
{
    setWindowTitle(DesignedCaption + QStringLiteral(" v.") +
                   ReadFileVersion(QCoreApplication::applicationFilePath()));
    LoadPhoneList(PhoneNumber);
    RefreshPortList();
    LoadPortSettings(PortsListComboBox, ConnectTypeComboBox);
    ConnectTypeComboBoxChange();
}

void TMainLindqvarForm::ConnectTypeComboBoxChange()
{
    const std::optional<TConnectionType> type = ConnectionType();
    if (!type)
        return;
    Label4->setText(QStringLiteral("COM-порт:"));
    Label5->setVisible(NeedsPhoneNumber(*type));
    PhoneNumber->setVisible(NeedsPhoneNumber(*type));
}

void TMainLindqvarForm::FormKeyDown(int key, Qt::KeyboardModifiers shift)
{
    if (!shift.testFlag(Qt::ControlModifier) || !shift.testFlag(Qt::AltModifier))
        return;
    QWidget *target = nullptr;
    switch (key) {
    case Qt::Key_C:
        target = COMSettingsForm;
        break;
    case Qt::Key_L:
        target = LOGForm;
        break;
    case Qt::Key_T:
        target = TCPServerSettingsForm;
        break;
    default:
        return;
    }
    if (target)
        target->show();
}

bool TMainLindqvarForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        // The event may pass several controls on its way up to the window; the commands only
        // show windows, so acting on each pass is harmless.
        if (static_cast<QWidget *>(watched)->window() == this) {
            const auto *key = static_cast<QKeyEvent *>(event);
            Guarded([&] { FormKeyDown(key->key(), key->modifiers()); });
        }
    }
    return false; // the key is not consumed
}

void TMainLindqvarForm::SpeedButton1Click()
{
    // The log says why a port the user may be looking for is not listed, where its kind can.
    QStringList reasons;
    GetAbsentPortReasons(reasons);
    for (const QString &reason : reasons)
        WriteLog(reason);
    RefreshPortList();
}

void TMainLindqvarForm::RefreshPortList()
{
    PortsListComboBox->clear();
    PortsListComboBox->addItems(FSession->FindPorts());
    if (PortsListComboBox->count() > 0) {
        PortsListComboBox->setCurrentIndex(0);
        return;
    }
    ShowErrorBox(this, QStringLiteral("Нет доступных COM портов."));
}

void TMainLindqvarForm::ShowPorts(const QStringList &names)
{
    QStringList listed;
    for (int i = 0; i < PortsListComboBox->count(); ++i)
        listed << PortsListComboBox->itemText(i);
    if (listed == names)
        return;
    const QString selected = PortsListComboBox->currentText();
    PortsListComboBox->clear();
    PortsListComboBox->addItems(names);
    PortsListComboBox->setCurrentIndex(names.isEmpty() ? -1 : 0);
    SelectComboItem(PortsListComboBox, selected);
}

void TMainLindqvarForm::RefreshPorts()
{
    const QString selected = PortsListComboBox->currentText();
    RefreshPortList();
    SelectComboItem(PortsListComboBox, selected);
}

void TMainLindqvarForm::RememberPhoneNumber(const QString &number)
{
    SavePhoneNumber(PhoneNumber, number);
}

void TMainLindqvarForm::ShowServerPort(int port)
{
    TCPServerSettingsForm->ShowPort(port);
}

void TMainLindqvarForm::BringToFront()
{
    raise();
    activateWindow();
}

void TMainLindqvarForm::URLLabel1Click()
{
    FSession->RunCommand(
        {ConnectionType(), PortsListComboBox->currentText(), PhoneNumber->currentText()});
}

std::optional<TConnectionType> TMainLindqvarForm::ConnectionType() const
{
    return ConnectionTypeOf(ConnectTypeComboBox->currentIndex());
}

void TMainLindqvarForm::WriteLog(const QString &message, const QString &prefix)
{
    if (LOGForm)
        WriteLogTo(*LOGForm, message, prefix);
}

void TMainLindqvarForm::WriteLogBytes(QByteArrayView bytes, const QString &prefix)
{
    if (LOGForm)
        WriteLogBytesTo(*LOGForm, bytes, prefix);
}

void TMainLindqvarForm::ShowStatus(const QString &text, bool alarm)
{
    Label7->setText(text);
    AnnounceNameChange(Label7);
    QPalette palette = Label7->palette();
    palette.setColor(QPalette::WindowText, alarm ? AlarmStatusColor : NormalStatusColor());
    Label7->setPalette(palette);
}

void TMainLindqvarForm::ShowCommand(TCommandState state)
{
    URLLabel1->setText(CommandCaption(state));
    AnnounceNameChange(URLLabel1);
}

void TMainLindqvarForm::EnableCommand(bool enabled)
{
    URLLabel1->setEnabled(enabled);
}

void TMainLindqvarForm::EnableInputs(bool enabled)
{
    ConnectTypeComboBox->setEnabled(enabled);
    PortsListComboBox->setEnabled(enabled);
    PhoneNumber->setEnabled(enabled);
    SpeedButton1->setEnabled(enabled);
}

void TMainLindqvarForm::FormClose()
{
    FSession->Close();
    SavePortSettings(PortsListComboBox->currentText(), ConnectionType());
}

void TMainLindqvarForm::closeEvent(QCloseEvent *event)
{
    Guarded([this] { FormClose(); });
    event->accept();
    // Closing the main window ends the program, whichever other windows are shown.
    QCoreApplication::quit();
}
