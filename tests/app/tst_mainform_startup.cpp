// Start-up of the main window: what it shows on a first start, what it restores, its hidden
// key commands and what it keeps when it closes.

#include "app/MainFormUnit.h"
#include "app/Version.h"
#include "controls/ComboItems.h"
#include "controls/URLLabel.h"
#include "log/LOGUnit.h"
#include "settings/COMSettingsUnit.h"
#include "settings/Paths.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/FakeSysfs.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Pty.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <memory>

class TstMainFormStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstStartOnCleanAccount();
    void storedPortAndTypeAreApplied();
    void storedTypeOutOfRangeLeavesNoSelection();
    void noSerialPortShowsTheErrorBeforeTheWindow();
    void settingsErrorSkipsTheRestOfTheCreation();
    void refreshSelectsTheFirstPortAgain();
    void portListFollowsTheHardware();
    void keyCommandsOpenTheHiddenWindows();
    void keysAreNotConsumed();
    void closeSavesPortAndTypeForTheNextStart();

private:
    // Two present ports, COM3 and COM5, listed in that order.
    [[nodiscard]] bool MapTwoPorts();

    std::unique_ptr<TWizardFixture> F;
    TPty FPort3;
    TPty FPort5;
};

void TstMainFormStartup::init()
{
    F = std::make_unique<TWizardFixture>();
}

void TstMainFormStartup::cleanup()
{
    F.reset();
}

bool TstMainFormStartup::MapTwoPorts()
{
    return FPort3.IsValid() && FPort5.IsValid() &&
           F->Config.WritePortMap({QStringLiteral("COM3=") + FPort3.SlavePath(),
                                   QStringLiteral("COM5=") + FPort5.SlavePath()});
}

void TstMainFormStartup::firstStartOnCleanAccount()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();

    QCOMPARE(w.windowTitle(), QStringLiteral("Мастер подключения v.") + ProgramVersion());
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    // The key is created and stays empty.
    QVERIFY(QFile::exists(Paths::SettingsFile()));
    QVERIFY(!F->ReadSettings().contains("phone"));
    QCOMPARE(Ui(w).PhoneNumber->count(), 0);
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM3"));
    QCOMPARE(Ui(w).ConnectTypeComboBox->currentIndex(), 0);
    QVERIFY(Ui(w).PhoneNumber->isVisible() && Ui(w).Label5->isVisible());
    QVERIFY(ExpectIdle(w));
    // Only the main window is shown; it keeps its designed size.
    QVERIFY(!F->Windows->LOGForm->isVisible());
    QVERIFY(!F->Windows->COMSettingsForm->isVisible());
    QVERIFY(!F->Windows->TCPServerSettingsForm->isVisible());
    QCOMPARE(w.size(), QSize(351, 116));
    QVERIFY(!(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
}

void TstMainFormStartup::storedPortAndTypeAreApplied()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->WriteSettings("[General]\nCOM=com5\nCHANNEL=1\nphone1=+7 900 1\nphone2=112\n"));
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();

    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM5"));
    QCOMPARE(Ui(w).ConnectTypeComboBox->currentIndex(), 1);
    QVERIFY(!Ui(w).PhoneNumber->isVisible() && !Ui(w).Label5->isVisible());
    QCOMPARE(Ui(w).PhoneNumber->count(), 2);
    QCOMPARE(Ui(w).PhoneNumber->itemText(0), QStringLiteral("+7 900 1"));

    // Choosing the modem type shows the phone row again.
    Ui(w).ConnectTypeComboBox->setCurrentIndex(0);
    emit Ui(w).ConnectTypeComboBox->activated(0);
    QVERIFY(Ui(w).PhoneNumber->isVisible() && Ui(w).Label5->isVisible());
}

void TstMainFormStartup::storedTypeOutOfRangeLeavesNoSelection()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->WriteSettings("[General]\nCOM=COM9\nCHANNEL=7\n"));
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();

    QCOMPARE(Ui(w).ConnectTypeComboBox->currentIndex(), -1);
    QVERIFY(Ui(w).PhoneNumber->isVisible());
    // A stored port that is gone leaves the first port selected.
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM3"));
}

void TstMainFormStartup::noSerialPortShowsTheErrorBeforeTheWindow()
{
    TRecordingDialogs &dialogs = F->Dialogs;
    F->Windows = std::make_unique<TLindqvarWindows>();
    QCOMPARE(dialogs.Boxes.size(), 1);
    QCOMPARE(dialogs.Boxes[0].Caption, QStringLiteral("Ошибка"));
    QCOMPARE(dialogs.Boxes[0].Text, QStringLiteral("Нет доступных COM портов."));
    QCOMPARE(dialogs.Boxes[0].Icon, TMsgIcon::Error);
    QVERIFY(!F->Main().isVisible());
    // The program still starts, and a click on the command is refused the same way.
    F->Main().show();
    QTest::mouseClick(Ui(F->Main()).URLLabel1, Qt::LeftButton);
    QCOMPARE(dialogs.Boxes.size(), 2);
    QCOMPARE(dialogs.Boxes[1].Text, QStringLiteral("Нет доступных COM портов."));
    QVERIFY(Ui(F->Main()).URLLabel1->isEnabled());
}

void TstMainFormStartup::settingsErrorSkipsTheRestOfTheCreation()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->WriteSettings("[General]\nphone1=a, b\nCHANNEL=1\n"));
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();

    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Text, QStringLiteral("Invalid data type for 'phone1'"));
    // The caption was set before the failing step; the port list and the type after it were not.
    QVERIFY(w.windowTitle().startsWith(QStringLiteral("Мастер подключения v.")));
    QCOMPARE(Ui(w).PortsListComboBox->count(), 0);
    QCOMPARE(Ui(w).ConnectTypeComboBox->currentIndex(), 0);
    // The dialogs and the log window exist all the same.
    QVERIFY(F->Windows->LOGForm != nullptr);
}

void TstMainFormStartup::refreshSelectsTheFirstPortAgain()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();
    Ui(w).PortsListComboBox->setCurrentIndex(1);

    TPty port1;
    QVERIFY(F->Config.WritePortMap({QStringLiteral("COM1=") + port1.SlavePath(),
                                    QStringLiteral("COM3=") + FPort3.SlavePath(),
                                    QStringLiteral("COM7=/dev/lindqvar-missing")}));
    QTest::mouseClick(Ui(w).SpeedButton1, Qt::LeftButton);
    QCOMPARE(Ui(w).PortsListComboBox->count(), 2);
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM1"));
}

void TstMainFormStartup::portListFollowsTheHardware()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();
    SelectComboItem(Ui(w).PortsListComboBox, QStringLiteral("COM5"));
    const auto listed = [&w] {
        QStringList names;
        for (int i = 0; i < Ui(w).PortsListComboBox->count(); ++i)
            names << Ui(w).PortsListComboBox->itemText(i);
        return names;
    };

    // A USB adapter is plugged in: the kernel's tty, then the node udev makes for it (here a
    // link to a pseudo-terminal, so that it is a character device).
    TFakeSysfs tree(F->Config.SysRoot(), F->Config.DevRoot());
    TPty adapter;
    QVERIFY(adapter.IsValid());
    QVERIFY(tree.AddTty(QStringLiteral("ttyUSB0"),
                        QStringLiteral("pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0"),
                        QStringLiteral("usb-serial"), QStringLiteral("ftdi_sio"), {}, false));
    const QString node = F->Config.DevRoot() + QStringLiteral("/ttyUSB0");
    QVERIFY(QFile::link(adapter.SlavePath(), node));
    QTRY_COMPARE(listed(), (QStringList{"COM3", "COM5", "COM4"}));
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM5"));

    // Pulled out again.
    QVERIFY(QFile::remove(node));
    QTRY_COMPARE(listed(), (QStringList{"COM3", "COM5"}));
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM5"));

    // The port map edited: the selected port is gone, the first one is selected; an empty map
    // leaves an empty list, and nobody is asked anything.
    QVERIFY(F->Config.WritePortMap({QStringLiteral("COM3=") + FPort3.SlavePath()}));
    QTRY_COMPARE(listed(), QStringList{"COM3"});
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM3"));
    QVERIFY(F->Config.WritePortMap({}));
    QTRY_VERIFY(listed().isEmpty());
    QVERIFY(F->Dialogs.Boxes.isEmpty());

    // While a link runs, the list stays as it is; what changed meanwhile is listed once the
    // link has ended.
    TLinkSession::TTestAccess::SetCommand(w.Session(), TCommandState::Connected);
    QVERIFY(MapTwoPorts());
    QTest::qWait(1000);
    QVERIFY(listed().isEmpty());
    TLinkSession::TTestAccess::SetCommand(w.Session(), TCommandState::Idle);
    QTRY_COMPARE(listed(), (QStringList{"COM3", "COM5"}));
    QVERIFY(F->Dialogs.Boxes.isEmpty());
}

void TstMainFormStartup::keyCommandsOpenTheHiddenWindows()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();
    QWidget *log = F->Windows->LOGForm.get();
    w.activateWindow();
    Ui(w).PortsListComboBox->setFocus();

    struct TCase {
        Qt::Key Key;
        Qt::KeyboardModifiers Modifiers;
        bool Opens;
    };
    const TCase logCases[] = {
        {Qt::Key_L, Qt::NoModifier, false},
        {Qt::Key_L, Qt::ControlModifier, false},
        {Qt::Key_L, Qt::AltModifier, false},
        {Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier, true},
        {Qt::Key_L, Qt::ControlModifier | Qt::AltModifier, true},
    };
    for (const TCase &c : logCases) {
        log->hide();
        QTest::keyClick(Ui(w).PortsListComboBox, c.Key, c.Modifiers);
        QCOMPARE(log->isVisible(), c.Opens);
    }

    QTest::keyClick(Ui(w).PortsListComboBox, Qt::Key_C, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(F->Windows->COMSettingsForm->isVisible());
    QTest::keyClick(&w, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(F->Windows->TCPServerSettingsForm->isVisible());
    QVERIFY(w.isVisible());
}

void TstMainFormStartup::keysAreNotConsumed()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    TMainLindqvarForm &w = F->Main();
    w.activateWindow();
    Ui(w).PhoneNumber->setFocus();
    // The focused control still gets every key, the commands' included.
    struct TKeyCounter : QObject {
        int Keys = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            Keys += event->type() == QEvent::KeyPress &&
                    static_cast<QKeyEvent *>(event)->key() == Qt::Key_L;
            return false;
        }
    } counter;
    QLineEdit *edit = Ui(w).PhoneNumber->lineEdit();
    edit->installEventFilter(&counter);
    QTest::keyClicks(edit, QStringLiteral("8800"));
    QTest::keyClick(edit, Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(F->Windows->LOGForm->isVisible());
    QCOMPARE(counter.Keys, 1);
    QVERIFY(Ui(w).PhoneNumber->currentText().startsWith(QStringLiteral("8800")));
}

void TstMainFormStartup::closeSavesPortAndTypeForTheNextStart()
{
    QVERIFY(MapTwoPorts());
    QVERIFY(F->Start());
    Ui(F->Main()).PortsListComboBox->setCurrentIndex(1);
    Ui(F->Main()).ConnectTypeComboBox->setCurrentIndex(1);
    F->Stop();
    const QByteArray saved = F->ReadSettings();
    QVERIFY2(saved.contains("COM=COM5") && saved.contains("CHANNEL=1"), saved.constData());

    QVERIFY(F->Start());
    QCOMPARE(Ui(F->Main()).PortsListComboBox->currentText(), QStringLiteral("COM5"));
    QCOMPARE(Ui(F->Main()).ConnectTypeComboBox->currentIndex(), 1);
    QVERIFY(!Ui(F->Main()).PhoneNumber->isVisible());
}

QTEST_MAIN(TstMainFormStartup)
#include "tst_mainform_startup.moc"
