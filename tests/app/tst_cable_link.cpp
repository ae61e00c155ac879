// Cable links from end to end: the wizard's real main window (offscreen), lindqvar-device on a
// pseudo-terminal mapped as COM4, and a setup program started from setup.ini.

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "endpoint/TServerSocket.h"
#include "platform/TickClock.h"
#include "settings/Paths.h"
#include "support/ForeignClient.h"
#include "support/LinkScript.h"
#include "support/LinkThroughLoss.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/RelayClient.h"
#include "support/ResultCheck.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <utility>

class TstCableLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullLinkRelaysTheSetupProgramsExchanges();
    void unplugAndReplugKeepTheClientConnected();
    void noIdentificationAnswer();
    void noSetupProgramForTheModel();
    void portHeldByAnotherProgramThenCancel();
    void windowClosedDuringLink();
    void clickWhileTheLinkEndsDoesNothing_data();
    void clickWhileTheLinkEndsDoesNothing();
    void endpointThatCannotStartEndsTheAttempt();
    void anotherUsersClientNeverReachesTheDevice();

private:
    // Starts the device as COM4, then the wizard with COM4 and the cable type selected.
    [[nodiscard]] bool StartWizardWithDevice(const QStringList &deviceOptions = {});

    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FDevice;
};

void TstCableLink::init()
{
    F = std::make_unique<TWizardFixture>();
}

void TstCableLink::cleanup()
{
    TickClock::SetSpeed(1);
    F.reset();
    FDevice.reset();
    qunsetenv("LINDQVAR_SETUP_DEMO_OPTIONS");
}

bool TstCableLink::StartWizardWithDevice(const QStringList &deviceOptions)
{
    FDevice = std::make_unique<ToolProcess>();
    return FDevice->startOnPort(QStringLiteral("lindqvar-device"), QStringLiteral("COM4"),
                                deviceOptions) &&
           F->StartOnPort(QStringLiteral("COM4"), TConnectionType::Cable);
}

void TstCableLink::fullLinkRelaysTheSetupProgramsExchanges()
{
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(StartWizardWithDevice());
    QVERIFY(
        F->InstallSetupDemo(QStringLiteral("--port %1 --exchanges 40 --transcript ") + transcript));
    TMainLindqvarForm &w = F->Main();

    TSetupProgram setup;
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup, transcript))
                return false;
            // The link is up and the setup program has done its work: the user disconnects.
            LINK_COMPARE(Ui(w).Label7->text(), QStringLiteral("Подключен"));
            LINK_VERIFY(!Ui(w).ConnectTypeComboBox->isEnabled() &&
                        !Ui(w).PortsListComboBox->isEnabled());
            LINK_VERIFY(Ui(w).URLLabel1->isEnabled());
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QVERIFY(script.Succeeded(QStringLiteral("the setup program's exchanges")));
    QVERIFY2(setup.Result.startsWith(QStringLiteral("RESULT OK")), qPrintable(setup.Result));
    // It ran from its private copy, which is gone with it.
    QVERIFY(setup.Copy.startsWith(Paths::PrivateTempDir()));
    QVERIFY(setup.Copy.endsWith(QStringLiteral("/DemoSetup.exe")));
    QVERIFY(!QFile::exists(setup.Copy));
    QVERIFY(ProcessIsGone(setup.Pid));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(ExpectIdle(F->Main()));

    QVERIFY(F->LogHas(QStringLiteral("COM порт успешно открыт")));
    QVERIFY(F->LogHas(QStringLiteral(": APP->COM +VER_INFO=?")));
    QVERIFY(F->LogLines().filter(QStringLiteral(": COM->APP ")).size() >= 1);
    QVERIFY(F->LogLines().filter(QStringLiteral(": TCP->COM ")).size() >= 40);
    QVERIFY(F->LogLines().filter(QStringLiteral(": COM->TCP ")).size() >= 40);
    QVERIFY(F->LogHas(QStringLiteral(
        "Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе "
        "(разрыв подключения)")));
    // The disconnect refreshed the port list and kept the port.
    QCOMPARE(Ui(w).PortsListComboBox->currentText(), QStringLiteral("COM4"));
}

void TstCableLink::unplugAndReplugKeepTheClientConnected()
{
    QVERIFY(StartWizardWithDevice({QStringLiteral("--replug-after"), QStringLiteral("1500")}));
    // The started program stays out of the way; the test is the setup program's connection.
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port 1 --forever")));
    int stage = 0;
    QVERIFY2(RunLinkThroughLoss(
                 *F, [&] { FDevice->signal(SIGUSR1); }, [] { return true; }, stage),
             qPrintable(QStringLiteral("stage %1").arg(stage)));
    QVERIFY(ExpectIdle(F->Main()));
}

void TstCableLink::noIdentificationAnswer()
{
    QVERIFY(StartWizardWithDevice({QStringLiteral("--ident-silent")}));
    QVERIFY(F->InstallSetupDemo());
    TMainLindqvarForm &w = F->Main();

    TickClock::SetSpeed(20); // the 10 s wait for the silent device is half a second here
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // returns after the whole wait
    TickClock::SetSpeed(1);

    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Caption, QStringLiteral("Error"));
    QCOMPARE(F->Dialogs.Boxes[0].Text,
             QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
    QCOMPARE(F->Dialogs.Boxes[0].Icon, TMsgIcon::Error);
    QVERIFY(F->LogHas(QStringLiteral("Устройство не обнаружено, работа программы невозможна")));
    QVERIFY(F->LogHas(
        QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO")));
    QVERIFY(w.Session().VerInfo().isEmpty());
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(ExpectIdle(F->Main()));
}

void TstCableLink::noSetupProgramForTheModel()
{
    QVERIFY(StartWizardWithDevice(
        {QStringLiteral("--ident"),
         QStringLiteral("+VER_INFO: \"1\",\"OTHER.2.05\",\"SN1\"\\r\\nOK\\r\\n")}));
    QVERIFY(F->InstallSetupDemo());
    TMainLindqvarForm &w = F->Main();

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Caption, QStringLiteral("Error"));
    QCOMPARE(F->Dialogs.Boxes[0].Text,
             QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    QVERIFY(F->LogHas(QStringLiteral("Не найдена программа настройки")));
    QVERIFY(F->LogHas(
        QStringLiteral("Установили \"Нет подключения\", главный цикл, нет программы настройки")));
    QVERIFY(w.Session().VerInfo().contains("OTHER.2.05"));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(ExpectIdle(F->Main()));
}

void TstCableLink::portHeldByAnotherProgramThenCancel()
{
    QVERIFY(StartWizardWithDevice());
    TMainLindqvarForm &w = F->Main();
    THandle other = INVALID_HANDLE_VALUE;
    QVERIFY(OpenCOMPort(QStringLiteral("COM4"), 19200, other));

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QCOMPARE(Ui(w).Label7->text(), QStringLiteral("COM-порт занят"));
    QCOMPARE(StatusColor(w), AlarmStatusColor);
    QCOMPARE(Ui(w).URLLabel1->text(), QStringLiteral("Отмена подключения"));
    QCOMPARE(w.Session().CommandState(), TCommandState::Connecting);
    QVERIFY(!Ui(w).ConnectTypeComboBox->isEnabled() && !Ui(w).PortsListComboBox->isEnabled() &&
            !Ui(w).SpeedButton1->isEnabled());
    QVERIFY(F->LogHas(QStringLiteral("Ошибка открытия COM порта")));

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QVERIFY(F->LogHas(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку "
                                     "подключения в момент подключения к прибору")));
    // Idle once the other program has let the port go.
    QVERIFY(CloseCOMPort(other));
    QVERIFY(ExpectIdle(F->Main()));
}

void TstCableLink::windowClosedDuringLink()
{
    QVERIFY(StartWizardWithDevice());
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port %1 --forever")));
    QVERIFY(CloseEndsTheLink(F->Main()));
    const QByteArray saved = F->ReadSettings();
    QVERIFY2(saved.contains("COM=COM4") && saved.contains("CHANNEL=1"), saved.constData());
}

void TstCableLink::clickWhileTheLinkEndsDoesNothing_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("cable again") << 1;
    QTest::newRow("switched to modem") << 0;
}

void TstCableLink::clickWhileTheLinkEndsDoesNothing()
{
    // A double click on "Отключить": the second click comes while the ended link still waits
    // in its pass, where the command already reads "Подключить" and the inputs are enabled.
    QFETCH(int, type);
    QVERIFY(StartWizardWithDevice());
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port %1 --forever")));
    TMainLindqvarForm &w = F->Main();
    Ui(w).PhoneNumber->setCurrentText(QStringLiteral("555"));
    TSetupProgram setup;
    bool secondClickInsideTheLink = false;

    TLinkScript script(
        [&] {
            if (!SetupProgramConnected(w) || !NoteSetupProgram(w, setup))
                return false;
            // Each pass starts here; the clicks run in its dispatches, before it ends.
            w.Session().SetPassObserver([&, armed = true]() mutable {
                if (!std::exchange(armed, false))
                    return;
                QMetaObject::invokeMethod(
                    &w,
                    [&] {
                        w.URLLabel1Click(); // disconnect
                        Ui(w).ConnectTypeComboBox->setCurrentIndex(type);
                        w.ConnectTypeComboBoxChange();
                        QMetaObject::invokeMethod(
                            &w,
                            [&] {
                                secondClickInsideTheLink = w.Session().Relay().Connected() == false;
                                QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
                                w.URLLabel1Click();
                            },
                            Qt::QueuedConnection);
                    },
                    Qt::QueuedConnection);
            });
            return true;
        },
        [&] { w.URLLabel1Click(); }, 30000);
    // A second link nested in the old one would run until something ends it.
    bool nestedLinkEnded = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, &w, [&] {
        nestedLinkEnded = true;
        w.Session().Relay().SetConnected(false);
    });
    watchdog.start(40000);
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    watchdog.stop();
    w.Session().SetPassObserver(nullptr);

    QVERIFY(!nestedLinkEnded);
    QVERIFY(script.Succeeded());
    QVERIFY(secondClickInsideTheLink);
    QCOMPARE(F->LogLines().filter(QStringLiteral("COM порт успешно открыт")).size(), 1);
    QVERIFY(F->LogLines().filter(QStringLiteral(":<< ")).isEmpty()); // no dialer either
    QVERIFY(!w.Session().Dialer());
    QVERIFY(ProcessIsGone(setup.Pid));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(ExpectIdle(F->Main()));
}

void TstCableLink::endpointThatCannotStartEndsTheAttempt()
{
    QVERIFY(StartWizardWithDevice());
    QVERIFY(F->InstallSetupDemo());
    TMainLindqvarForm &w = F->Main();
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, F->ServerPort));

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    // The error reaches the user, and the link does not stay half alive behind it.
    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QVERIFY2(F->Dialogs.Boxes[0].Text.contains(QStringLiteral("on API 'bind'")),
             qPrintable(F->Dialogs.Boxes[0].Text));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(!w.Session().Relay().Connected());
    other.close();
    QVERIFY(ExpectIdle(F->Main()));
    // The port is free for the next attempt.
    THandle h = INVALID_HANDLE_VALUE;
    QVERIFY_OK(OpenCOMPort(QStringLiteral("COM4"), 19200, h));
    QVERIFY(CloseCOMPort(h));
}

void TstCableLink::anotherUsersClientNeverReachesTheDevice()
{
    if (!TForeignClient::CanRun())
        QSKIP("acting as another local user needs root (CI runs as root)");
    const QString record = F->Config.Root() + QStringLiteral("/device-record");
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(StartWizardWithDevice({QStringLiteral("--record"), record}));
    QVERIFY(
        F->InstallSetupDemo(QStringLiteral("--port %1 --exchanges 30 --transcript ") + transcript));
    TMainLindqvarForm &w = F->Main();
    std::unique_ptr<TForeignClient> stranger;
    QTcpSocket own;
    int stage = 0;
    QString result;

    TLinkScript script(
        [&] {
            switch (stage) {
            case 0:
                if (!SetupProgramConnected(w))
                    return false;
                // Another user of this PC connects while the setup program works.
                stranger = std::make_unique<TForeignClient>(F->ServerPort, "FOREIGN line\r\n");
                stage = 1;
                return false;
            case 1:
                if (!F->LogHas(QStringLiteral("Отклонено подключение к серверу TCP программы "
                                              "другого пользователя (uid 65534)")))
                    return false;
                // A second program of the user's own is accepted as before.
                own.connectToHost(QStringLiteral("127.0.0.1"), F->ServerPort);
                stage = 2;
                return false;
            case 2:
                if (Ui(w).ServerSocket->ActiveConnections() != 2)
                    return false;
                stage = 3;
                return false;
            default:
                result = SetupDemoResult(transcript);
                if (result.isEmpty())
                    return false;
                QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
                return true;
            }
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QVERIFY(script.Succeeded(QStringLiteral("stage %1").arg(stage)));
    QVERIFY(stranger->WasClosedByTheServer());
    QVERIFY2(result.startsWith(QStringLiteral("RESULT OK 30 of 30")), qPrintable(result));
    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QVERIFY(!recorded.readAll().contains("FOREIGN"));
    QVERIFY(ExpectIdle(w));
}

QTEST_MAIN(TstCableLink)
#include "tst_cable_link.moc"
