// Modem links from end to end: the wizard's real main window (offscreen) with lindqvar-modem
// mapped as COM6, a setup program from setup.ini, and the dialer clock sped up.

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "endpoint/TServerSocket.h"
#include "modem/RingThread.h"
#include "platform/TickClock.h"
#include "settings/Paths.h"
#include "support/LinkScript.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/ModemLog.h"
#include "support/Pty.h"
#include "support/SwitchRows.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <cerrno>
#include <csignal>
#include <memory>

namespace
{

const QString ModemCom = QStringLiteral("COM6");
const QString Phone = QStringLiteral("8 900 555");

bool InputsEnabled(const TMainLindqvarForm &w)
{
    return Ui(w).ConnectTypeComboBox->isEnabled() && Ui(w).PortsListComboBox->isEnabled() &&
           Ui(w).PhoneNumber->isEnabled() && Ui(w).SpeedButton1->isEnabled();
}

bool InputsDisabled(const TMainLindqvarForm &w)
{
    return !Ui(w).ConnectTypeComboBox->isEnabled() && !Ui(w).PortsListComboBox->isEnabled() &&
           !Ui(w).PhoneNumber->isEnabled() && !Ui(w).SpeedButton1->isEnabled();
}

// Lets the link session handle each progress event, then notes the window's status text and
// whether it is in the normal colour.
class TStatusRecorder : public QObject
{
public:
    explicit TStatusRecorder(TMainLindqvarForm &w) : FWindow(w)
    {
        w.Session().installEventFilter(this);
    }
    QStringList Texts;
    bool AllNormal = true;

protected:
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (watched != &FWindow.Session() ||
            e->type() != static_cast<QEvent::Type>(WM_RINGPROGRESS))
            return false;
        static_cast<QObject &>(FWindow.Session()).event(e);
        Texts << Ui(FWindow).Label7->text();
        AllNormal = AllNormal && StatusColor(FWindow) == NormalStatusColor();
        return true;
    }

private:
    TMainLindqvarForm &FWindow;
};

const QStringList StageTexts{QStringLiteral("Инициализация модема"),
                             QStringLiteral("Регистрация в сети"), QStringLiteral("Набор номера")};

} // namespace

class TstModemLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullLinkThenUserDisconnect();
    void busyShowsTheTextInRed();
    void noCarrierDuringLinkThenReconnect();
    void lostPortDuringLink();
    void cancelDuringDialling();
    void cancelWhileTheModemIsSilent();
    void windowClosedDuringLink();
    void windowClosedWhileDialling_data();
    void windowClosedWhileDialling();
    void closedWhileACancelWaits();
    void refusedNumberSaveLeavesTheCommandIdle();

private:
    [[nodiscard]] bool StartWizardWithModem(const QStringList &modemOptions);
    TModemLog ModemLog() const { return TModemLog::Read(FModemLogPath); }
    // The end of the modem's record, for failure messages.
    QString ModemLogTail() const
    {
        QFile file(FModemLogPath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        QStringList lines;
        for (const QByteArray &line : file.readAll().split('\n'))
            lines << QString::fromLatin1(line.left(60));
        return lines.mid(std::max<qsizetype>(0, lines.size() - 30)).join(QLatin1Char('\n'));
    }

    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FModem;
    QString FModemLogPath;
};

void TstModemLink::init()
{
    F = std::make_unique<TWizardFixture>();
    FModemLogPath = F->Config.Root() + QStringLiteral("/modem.log");
    TickClock::SetSpeed(20);
}

void TstModemLink::cleanup()
{
    F.reset();
    FModem.reset();
    TickClock::SetSpeed(1);
    qunsetenv("LINDQVAR_SETUP_DEMO_OPTIONS");
}

bool TstModemLink::StartWizardWithModem(const QStringList &modemOptions)
{
    FModem = std::make_unique<ToolProcess>();
    // The guard: its 100 ms of silence around "+++" on the same fast clock as the wizard's
    // 150 ms pauses.
    if (!FModem->startOnPort(QStringLiteral("lindqvar-modem"), ModemCom,
                             QStringList{QStringLiteral("--log"), FModemLogPath,
                                         QStringLiteral("--time-scale"), QStringLiteral("20"),
                                         QStringLiteral("--guard"), QStringLiteral("5")} +
                                 modemOptions) ||
        !F->StartOnPort(ModemCom, TConnectionType::Modem))
        return false;
    Ui(F->Main()).PhoneNumber->setCurrentText(Phone);
    return true;
}

void TstModemLink::fullLinkThenUserDisconnect()
{
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(StartWizardWithModem({}));
    QVERIFY(
        F->InstallSetupDemo(QStringLiteral("--port %1 --exchanges 30 --transcript ") + transcript));
    TMainLindqvarForm &w = F->Main();
    TStatusRecorder status(w);

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // starts the dialer and returns
    QCOMPARE(w.Session().CommandState(), TCommandState::Connecting);
    QCOMPARE(Ui(w).URLLabel1->text(), QStringLiteral("Отмена подключения"));
    QVERIFY(InputsDisabled(w));
    QVERIFY(w.Session().Relay().ModemLink());
    // The number is remembered at the start of every modem attempt.
    QVERIFY2(F->ReadSettings().contains("phone1=8 900 555"), F->ReadSettings().constData());

    TSetupProgram setup;
    QElapsedTimer quiet;
    // The link runs inside the dialer's completion, nested in this test's waits.
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup, transcript))
                return false;
            // A modem takes "+++" as an escape only after a moment of silence on the line.
            if (!WaitedSinceFirst(quiet, 500))
                return false;
            LINK_COMPARE(Ui(w).Label7->text(), QStringLiteral("Подключен"));
            LINK_VERIFY(InputsDisabled(w));
            LINK_VERIFY(w.Session().Dialer() &&
                        w.Session().Dialer()->isRunning()); // blocked in its completion
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 90000);
    QVERIFY(script.Succeeded(QStringLiteral("the setup program's exchanges")));
    QVERIFY2(setup.Result.startsWith(QStringLiteral("RESULT OK")), qPrintable(setup.Result));

    QCOMPARE(status.Texts, StageTexts);
    QVERIFY(status.AllNormal);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().Dialer() && w.Session().Dialer()->isFinished(), 20000);
    QVERIFY(ProcessIsGone(setup.Pid));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(!w.Session().Relay().ModemLink());
    QVERIFY(ExpectIdle(F->Main(), QStringLiteral("Нет подключения"), false));

    // The modem got "+" three times, then "ATH" without a line end, and nothing after it: it
    // left the data mode and hung up.
    QTRY_VERIFY2_WITH_TIMEOUT(ModemLog().Event("hangup"), qPrintable(ModemLogTail()), 20000);
    const TModemLog log = ModemLog();
    QVERIFY(log.Event("escape"));
    const QByteArray received = log.ReceivedAfter("connect");
    QVERIFY2(received.endsWith("+++ATH"), received.right(40).toHex().constData());
    QVERIFY(log.ReceivedAfter("escape") == "ATH");
    QCOMPARE(log.Commands().last(), QStringLiteral("ATH"));

    // The dialer's own lines reached the log window.
    QVERIFY(F->LogHas(QStringLiteral(": Порт успешно открыт")));
    QVERIFY(F->LogHas(QStringLiteral(":<< ATD8 900 555")));
    QVERIFY(F->LogLines().filter(QStringLiteral(": TCP->COM ")).size() >= 30);
    QVERIFY(F->LogHas(QStringLiteral(
        "Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе "
        "(разрыв подключения)")));
}

void TstModemLink::busyShowsTheTextInRed()
{
    QVERIFY(StartWizardWithModem({QStringLiteral("--dial-result"), QStringLiteral("busy")}));
    TMainLindqvarForm &w = F->Main();
    TStatusRecorder status(w);

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().CommandState() == TCommandState::Idle, 60000);
    QCOMPARE(status.Texts, StageTexts);
    QVERIFY(status.AllNormal);
    QVERIFY(ExpectIdle(F->Main(), QStringLiteral("Номер занят"), true));
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Commands().last(), QStringLiteral("ATH"), 20000);
    QVERIFY(F->LogHas(QStringLiteral(">> BUSY")));

    // A stage the session does not know only resets the colour.
    TRingProgressEvent unknownStage(4);
    QCoreApplication::sendEvent(&w.Session(), &unknownStage);
    QCOMPARE(Ui(w).Label7->text(), QStringLiteral("Номер занят"));
    QCOMPARE(StatusColor(w), NormalStatusColor());
}

void TstModemLink::noCarrierDuringLinkThenReconnect()
{
    QVERIFY(StartWizardWithModem({}));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port %1 --forever")));
    TMainLindqvarForm &w = F->Main();
    pid_t setupPid = 0;
    TSetupProgram setup;

    // The call drops while the setup program is connected.
    auto dropWhenRelaying = [&] {
        if (!SetupProgramConnected(w) || !NoteSetupProgram(w, setup))
            return false;
        if (setupPid == 0)
            setupPid = setup.Pid;
        LINK_COMPARE(setup.Pid, setupPid); // never a second program
        FModem->signal(SIGUSR2);
        return true;
    };
    auto expectBroken = [&] {
        QCOMPARE(w.Session().CommandState(), TCommandState::Broken);
        QCOMPARE(Ui(w).URLLabel1->text(), QStringLiteral("Переподключить"));
        QCOMPARE(Ui(w).Label7->text(), QStringLiteral("Нет подключения"));
        QVERIFY(InputsDisabled(w));
        QVERIFY(PortCanBeOpened(ModemCom));
        QVERIFY(!Ui(w).ServerSocket->Active());
        QVERIFY(w.Session().SetupStarted());
        QVERIFY(ProcessIsAlive(setupPid));
    };

    {
        TLinkScript script(dropWhenRelaying, [&] { w.URLLabel1Click(); });
        QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(script.Done() && w.Session().Dialer()->isFinished(), 90000);
        QVERIFY(script.Succeeded());
    }
    expectBroken();
    QVERIFY(F->LogHas(QStringLiteral("Завершение работы по ошибке модема")));
    QVERIFY(F->LogHas(QStringLiteral("Установили \"Нет подключения\", процедура COMRead")));
    // The hang-up after the result text; the modem may take it for noise after the frames
    // still in flight, so the bytes are what counts.
    QTRY_VERIFY2_WITH_TIMEOUT(ModemLog().ReceivedAfter("drop").endsWith("ATH"),
                              qPrintable(ModemLogTail()), 20000);

    // Reconnect: a new dial, and the running setup program comes back to the new link. The
    // port is marked lost as if it had vanished after the result text: that belongs to the
    // ended link and must not end the new one. (No operation marks a loss without a port that
    // vanishes; the relay's flag is set directly.)
    TLinkRelay::TTestAccess(w.Session().Relay()).FNeedCOMReconnect = true;
    const int linesBefore = int(F->LogLines().filter(QStringLiteral(":<< ATD")).size());
    {
        TLinkScript script(dropWhenRelaying, [&] { w.URLLabel1Click(); });
        QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
        QCOMPARE(w.Session().CommandState(), TCommandState::Connecting);
        QTRY_VERIFY_WITH_TIMEOUT(script.Done() && w.Session().Dialer()->isFinished(), 90000);
        QVERIFY(script.Succeeded());
    }
    QCOMPARE(int(F->LogLines().filter(QStringLiteral(":<< ATD8 900 555")).size()), linesBefore + 1);
    expectBroken();

    // The reconnect tests neither the number nor the connection type.
    Ui(w).PhoneNumber->setCurrentText(QStringLiteral("  "));
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QCOMPARE(w.Session().CommandState(), TCommandState::Connecting);
    QVERIFY(w.Session().Dialer() && !w.Session().Dialer()->isFinished());
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // cancel
    QVERIFY(!w.Session().Dialer());
    QVERIFY(ProcessIsAlive(setupPid));
}

void TstModemLink::lostPortDuringLink()
{
    QVERIFY(StartWizardWithModem({}));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port %1 --forever")));
    TMainLindqvarForm &w = F->Main();
    TSetupProgram setup;

    TLinkScript script(
        [&] {
            if (!SetupProgramConnected(w) || !NoteSetupProgram(w, setup))
                return false;
            FModem->signal(SIGUSR1); // the modem's cable is pulled
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(script.Done() && w.Session().Dialer()->isFinished(), 90000);
    QVERIFY(script.Succeeded());

    QCOMPARE(w.Session().CommandState(), TCommandState::Idle);
    QCOMPARE(Ui(w).URLLabel1->text(), QStringLiteral("Подключить"));
    QCOMPARE(Ui(w).Label7->text(), QStringLiteral("Нет подключения"));
    QVERIFY(InputsEnabled(w));
    QVERIFY(!w.Session().Relay().PortOpen());
    QVERIFY(!Ui(w).ServerSocket->Active());
    QVERIFY(F->LogHas(QStringLiteral("Завершение работы по потере порта.")));
    QVERIFY(F->LogHas(QStringLiteral(
        "Установили \"Нет подключения\", главный цикл, модемное соединение, порт потерян")));
    QVERIFY(w.Session().SetupStarted());
    QVERIFY(ProcessIsAlive(setup.Pid));
}

void TstModemLink::cancelDuringDialling()
{
    QVERIFY(StartWizardWithModem({QStringLiteral("--dial-result"), QStringLiteral("silence")}));
    TMainLindqvarForm &w = F->Main();
    TickClock::SetSpeed(5); // 45 s of dialling are 9 s here: time to cancel

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Ui(w).Label7->text() == StageTexts[2] && ModemLog().Event("dial "),
                             60000);
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QVERIFY(!w.Session().Dialer());
    QVERIFY(ExpectIdle(F->Main(), QStringLiteral("Нет подключения"), false));
    QVERIFY(F->LogHas(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку "
                                     "подключения в момент подключения к прибору")));
    QVERIFY(F->LogHas(QStringLiteral(":<< ATH")));
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Commands().last(), QStringLiteral("ATH"), 20000);
}

void TstModemLink::cancelWhileTheModemIsSilent()
{
    // A line where nobody answers; the cancel comes while the dialer waits for "OK".
    TPty pty;
    QVERIFY2(pty.IsValid(), qPrintable(pty.Error()));
    QVERIFY(F->Config.WritePortMap({QStringLiteral("COM8=") + pty.SlavePath()}));
    QVERIFY(F->StartOnPort(QStringLiteral("COM8"), TConnectionType::Modem));
    TMainLindqvarForm &w = F->Main();
    Ui(w).PhoneNumber->setCurrentText(Phone);
    TickClock::SetSpeed(4); // the 5 s wait lasts 1250 ms here

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.Read(1, 50)).contains("ATZ\r\nATZ\r\nAT\r\n"), 30000);
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    // The wait's own failure wins over the cancel mark and shows in red.
    QVERIFY(!w.Session().Dialer());
    QVERIFY(ExpectIdle(w, QStringLiteral("Модем не отвечает"), true));
}

void TstModemLink::windowClosedDuringLink()
{
    QVERIFY(StartWizardWithModem({}));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port %1 --forever")));
    TMainLindqvarForm &w = F->Main();
    QVERIFY(CloseEndsTheLink(w));
    // The dialer that ran the link has ended too.
    QTRY_VERIFY_WITH_TIMEOUT(!w.Session().Dialer() || w.Session().Dialer()->isFinished(), 20000);
    const QByteArray saved = F->ReadSettings();
    QVERIFY2(saved.contains("COM=COM6") && saved.contains("CHANNEL=0"), saved.constData());
    F->Stop();
    QTest::qWait(100);
}

void TstModemLink::windowClosedWhileDialling_data()
{
    AddSwitchRows("destroyOnly", "closed", "destroyed without a close");
}

void TstModemLink::windowClosedWhileDialling()
{
    QFETCH(bool, destroyOnly);
    QVERIFY(StartWizardWithModem({QStringLiteral("--creg-never")}));
    TMainLindqvarForm &w = F->Main();
    TickClock::SetSpeed(5);

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Ui(w).Label7->text(), StageTexts[1], 60000);
    if (destroyOnly) {
        F->Windows.reset();
    } else {
        w.close();
        QVERIFY(!w.Session().Dialer() || w.Session().Dialer()->isFinished());
        const QByteArray saved = F->ReadSettings();
        QVERIFY2(saved.contains("COM=COM6") && saved.contains("CHANNEL=0"), saved.constData());
        F->Stop();
    }
    // Nothing is left holding the port, and no late event reaches a window that is gone.
    QVERIFY(PortCanBeOpened(ModemCom));
    QTest::qWait(200);
}

void TstModemLink::closedWhileACancelWaits()
{
    QVERIFY(StartWizardWithModem({QStringLiteral("--creg-never")}));
    TMainLindqvarForm &w = F->Main();
    TickClock::SetSpeed(5);

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Ui(w).Label7->text(), StageTexts[1], 60000);
    // The cancel waits for the dialer; the window is closed during that wait.
    bool closed = false;
    QTimer::singleShot(5, &w, [&] {
        w.close();
        closed = true;
    });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QTRY_VERIFY(closed);
    QVERIFY(!w.Session().Dialer());
    QCOMPARE(w.Session().CommandState(), TCommandState::Idle);
    QVERIFY(PortCanBeOpened(ModemCom));
    F->Stop();
}

void TstModemLink::refusedNumberSaveLeavesTheCommandIdle()
{
    QVERIFY(StartWizardWithModem({}));
    // A line the settings reader cannot take: the store refuses every write rather than drop it.
    QVERIFY(F->WriteSettings("notes for the next dial\n"));
    TMainLindqvarForm &w = F->Main();

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Text, QStringLiteral("Failed to set data for 'phone1'"));
    QVERIFY(!w.Session().Dialer());
    QVERIFY(ExpectIdle(F->Main(), QStringLiteral("Нет подключения"), false));
}

QTEST_MAIN(TstModemLink)
#include "tst_modem_link.moc"
