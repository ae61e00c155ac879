// The dialer thread on its own against lindqvar-modem (or a silent pseudo-terminal): results,
// the dialogue the modem receives, the log lines, the progress stages, cancels and the port's
// ownership.

#include "modem/RingThread.h"
#include "platform/TickClock.h"
#include "support/ModemLog.h"
#include "support/Pty.h"
#include "support/SwitchRows.h"
#include "support/TempConfig.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{

const QString ModemCom = QStringLiteral("COM7");

// Receives the progress events, as the main window does.
class TProgressOwner : public QObject
{
public:
    QList<int> Stages;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != static_cast<QEvent::Type>(WM_RINGPROGRESS))
            return QObject::event(e);
        Stages << static_cast<TRingProgressEvent *>(e)->Stage();
        return true;
    }
};

// One attempt with its owner, its log list and a record of the completion handler's run.
struct TAttempt {
    TProgressOwner Owner;
    QListWidget Log;
    int HandlerRuns = 0;
    bool HandlerOnOwnerThread = false;
    std::uint32_t CodeSeen = 0xDEAD;
    QList<int> StagesAtFinish;
    // Whether the handler takes the port over, and whether it closes it at once.
    bool TakePort = true;
    bool ClosePort = false;
    THandle Port = INVALID_HANDLE_VALUE;
    THandle PortSeen = INVALID_HANDLE_VALUE;
    std::unique_ptr<TRingThread> Ring;

    void Start(const QString &com, const QString &phone, qint32 baud = 19200)
    {
        TRingThreadCreateStruct cs;
        cs.COM = com;
        cs.BaudRate = baud;
        cs.Phone = phone;
        cs.Log = {&Log, [this](const TLogEntry &entry) { Log.addItem(entry.Formatted()); }};
        cs.Owner = &Owner;
        cs.TerminateHandler = [this](TRingThread *sender) {
            ++HandlerRuns;
            HandlerOnOwnerThread = QThread::currentThread() == Owner.thread();
            CodeSeen = sender->ErrorCode();
            StagesAtFinish = Owner.Stages;
            PortSeen = sender->hCOM();
            if (TakePort)
                Port = sender->TakeCOMHandle();
            if (ClosePort)
                CloseCOMPort(Port);
        };
        Ring = std::make_unique<TRingThread>(cs);
    }
    // The owner's cancel: mark, ask, wait while serving the hand-overs.
    void Cancel()
    {
        Ring->SetErrorCode(RingResult::Cancelled);
        Ring->Terminate();
        Ring->WaitFor();
    }
    ~TAttempt()
    {
        Ring.reset();
        CloseCOMPort(Port);
    }
};

} // namespace

class TstRingThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void successfulDial_data();
    void successfulDial();
    void dialFailureWords_data();
    void dialFailureWords();
    void silenceAfterDialTimesOut();
    void registrationAfterSomeQueries();
    void noRegistrationAfterTenQueries();
    void scriptedReplies_data();
    void scriptedReplies();
    void silentModem_data();
    void silentModem();
    void cancelDuringRegistrationKeepsTheMark();
    void cancelDuringDiallingHangsUp();
    void cancelEndsAPauseAtOnce();
    void portCannotBeOpened_data();
    void portCannotBeOpened();
    void cancelRightAfterCreationIsNeverLost();
    void portTakenByTheOwnerIsNotClosedAgain();
    void portNotTakenIsClosedByTheDestructor_data();
    void portNotTakenIsClosedByTheDestructor();

private:
    [[nodiscard]] bool StartModem(const QStringList &options, double timeScale = 20);
    TModemLog ModemLog() const { return TModemLog::Read(FModemLogPath); }
    // Waits for the completion handler and the end of the thread.
    [[nodiscard]] bool WaitEnd(TAttempt &a, int timeoutMs = 60000);

    std::unique_ptr<TTempConfig> FConfig;
    std::unique_ptr<ToolProcess> FModem;
    QString FModemLogPath;
};

void TstRingThread::init()
{
    FConfig = std::make_unique<TTempConfig>();
    QVERIFY(FConfig->IsValid());
    FModemLogPath = FConfig->Root() + QStringLiteral("/modem.log");
    TickClock::SetSpeed(20);
}

void TstRingThread::cleanup()
{
    FModem.reset();
    FConfig.reset();
    TickClock::SetSpeed(1);
}

bool TstRingThread::StartModem(const QStringList &options, double timeScale)
{
    FModem = std::make_unique<ToolProcess>();
    return FModem->startOnPort(QStringLiteral("lindqvar-modem"), ModemCom,
                               QStringList{QStringLiteral("--log"), FModemLogPath,
                                           QStringLiteral("--time-scale"),
                                           QString::number(timeScale)} +
                                   options);
}

bool TstRingThread::WaitEnd(TAttempt &a, int timeoutMs)
{
    if (!QTest::qWaitFor([&a] { return a.HandlerRuns > 0; }, timeoutMs))
        return QTest::qVerify(false, "the completion handler ran", "", __FILE__, __LINE__);
    a.Ring->WaitFor();
    return QTest::qVerify(a.Ring->isFinished() && a.HandlerRuns == 1 && a.HandlerOnOwnerThread,
                          "finished, the handler run once on the owner's thread", "", __FILE__,
                          __LINE__);
}

void TstRingThread::successfulDial_data()
{
    QTest::addColumn<double>("speed");
    QTest::newRow("fast clock") << 20.0;
    // Once with the real pauses and time-outs: 15 s of listening, 3 s before dialling, 5 s
    // after the connect.
    QTest::newRow("real time") << 1.0;
}

void TstRingThread::successfulDial()
{
    QFETCH(double, speed);
    TickClock::SetSpeed(speed);
    QVERIFY(StartModem({}, speed));
    TAttempt a;
    a.Start(ModemCom, QStringLiteral("+7 900 1234567"));
    QVERIFY(WaitEnd(a, 120000));

    QCOMPARE(a.CodeSeen, RingResult::Connected);
    QCOMPARE(a.Ring->ErrorCode(), RingResult::Connected);
    QCOMPARE(a.StagesAtFinish,
             (QList<int>{RingStage::PortOpened, RingStage::BearerSelected, RingStage::Dialling}));
    QVERIFY(a.PortSeen != INVALID_HANDLE_VALUE);
    QCOMPARE(a.Port, a.PortSeen);
    QCOMPARE(a.Ring->hCOM(), INVALID_HANDLE_VALUE);

    // Every line has the dialer's format; the modem said nothing while it was listened to.
    const QStringList bodies = DialerLogBodies(a.Log);
    for (const QString &body : bodies)
        QVERIFY2(body.startsWith(QLatin1Char(' ')) || body.startsWith(QLatin1String("<< ")) ||
                     body.startsWith(QLatin1String(">> ")),
                 qPrintable(body));
    QCOMPARE(bodies.mid(0, 4),
             (QStringList{QStringLiteral(" Порт успешно открыт"), QStringLiteral(">> "),
                          QStringLiteral(" Инициализация модема"), QStringLiteral("<< ATZ")}));
    QCOMPARE(DialerLogTexts(a.Log, QString()),
             (QStringList{QStringLiteral("Порт успешно открыт"),
                          QStringLiteral("Инициализация модема")}));
    const QStringList sent{QStringLiteral("ATZ"),      QStringLiteral("ATZ"),
                           QStringLiteral("AT"),       QStringLiteral("AT+CBST=7,0,1"),
                           QStringLiteral("AT+CREG?"), QStringLiteral("ATD+7 900 1234567")};
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")), sent);
    // The echo "AT" CR, then CR LF "OK" CR LF, collected in one wait: three lines.
    const QStringList replies = DialerLogTexts(a.Log, QStringLiteral(">>"));
    const QString joined = replies.join(QLatin1Char('|'));
    QVERIFY2(joined.contains(QStringLiteral("|AT||OK|")), qPrintable(joined));
    QVERIFY2(joined.contains(QStringLiteral("+CREG: 0,1")), qPrintable(joined));
    QVERIFY2(replies.last() == QStringLiteral("CONNECT 9600") ||
                 replies.mid(replies.size() - 2).contains(QStringLiteral("CONNECT 9600")),
             qPrintable(joined));
    QCOMPARE(bodies.last().left(3), QStringLiteral(">> "));

    // The modem got exactly this dialogue; the call is up, nothing hung it up.
    TModemLog log = ModemLog();
    QCOMPARE(log.Commands(), sent);
    QVERIFY(log.Event("connect"));

    // The port is handed over open, with the call on it: the device at the far end answers.
    QCOMPARE(WriteCOMString(a.Port, QByteArrayLiteral("+VER_INFO=?\r\n")), 13);
    QByteArray heard;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QByteArray piece;
            ReadCOMString(a.Port, piece);
            heard += piece;
            return heard.contains("DEMO.1.00");
        }(),
        20000);
}

void TstRingThread::dialFailureWords_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("speed");
    // Busy runs on a slower clock: the 45 s of dialling are 22.5 s there, far longer than a
    // hang-up that follows the reply.
    QTest::newRow("busy") << "busy" << RingResult::Busy << QStringLiteral("Номер занят") << 2.0;
    QTest::newRow("no carrier") << "no-carrier" << RingResult::NoCarrier
                                << QStringLiteral("Не могу дозвониться") << 20.0;
    QTest::newRow("no dialtone") << "no-dialtone" << RingResult::NoDialtone
                                 << QStringLiteral("Нет сигнала в линии") << 20.0;
    QTest::newRow("no answer") << "no-answer" << RingResult::NoAnswer
                               << QStringLiteral("Номер не отвечает") << 20.0;
}

void TstRingThread::dialFailureWords()
{
    QFETCH(QString, result);
    QFETCH(uint, code);
    QFETCH(QString, text);
    QFETCH(double, speed);
    TickClock::SetSpeed(speed);
    QVERIFY(StartModem({QStringLiteral("--dial-result"), result}));
    TAttempt a;
    a.ClosePort = true;
    a.Start(ModemCom, QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, code);
    QCOMPARE(ModemErrorText(code), text);
    QCOMPARE(a.StagesAtFinish,
             (QList<int>{RingStage::PortOpened, RingStage::BearerSelected, RingStage::Dialling}));
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")).mid(5),
             (QStringList{QStringLiteral("ATD555"), QStringLiteral("ATH")}));
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Commands().mid(5),
                              (QStringList{QStringLiteral("ATD555"), QStringLiteral("ATH")}),
                              20000);
    // The reply decided at once: the hang-up follows the result word, not the end of the
    // dialling time (checked on the slow clock only, where that time is long).
    if (speed > 2)
        return;
    const TModemLog log = ModemLog();
    const qint64 resultAt = log.Event("dial-result")->Ms;
    const qint64 hangUpAt = log.LastCommandAt("ATH");
    QVERIFY2(hangUpAt - resultAt < 45000 / speed, qPrintable(QString::number(hangUpAt - resultAt)));
}

void TstRingThread::silenceAfterDialTimesOut()
{
    QVERIFY(StartModem({QStringLiteral("--dial-result"), QStringLiteral("silence")}));
    TAttempt a;
    a.ClosePort = true;
    a.Start(ModemCom, QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::NoAnswer);
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")).last(), QStringLiteral("ATH"));
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Count(QStringLiteral("ATH")), 1, 20000);
    // The whole dialling time passed first: 45000 dialer ms are 2250 ms at this speed (less a
    // little for the modem reading the dial command later than it was written).
    const TModemLog log = ModemLog();
    const qint64 dialAt = log.Event("dial ")->Ms;
    const qint64 hangUpAt = log.LastCommandAt("ATH");
    QVERIFY2(hangUpAt - dialAt >= 2000, qPrintable(QString::number(hangUpAt - dialAt)));
}

void TstRingThread::registrationAfterSomeQueries()
{
    // Misses with status 2 and 5, then registered in the third query.
    QVERIFY(StartModem({QStringLiteral("--creg"), QStringLiteral("2,5,1")}));
    TAttempt a;
    a.Start(ModemCom, QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::Connected);
    const TModemLog log = ModemLog();
    QCOMPARE(log.Count(QStringLiteral("AT+CREG?")), 3);
    QCOMPARE(log.Commands().last(), QStringLiteral("ATD555"));
}

void TstRingThread::noRegistrationAfterTenQueries()
{
    QVERIFY(StartModem({QStringLiteral("--creg-never")}));
    TAttempt a;
    a.ClosePort = true;
    a.Start(ModemCom, QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::NotRegistered);
    QCOMPARE(a.StagesAtFinish, (QList<int>{RingStage::PortOpened, RingStage::BearerSelected}));
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Count(QStringLiteral("AT+CREG?")), 10, 20000);
    const QStringList sent = DialerLogTexts(a.Log, QStringLiteral("<<"));
    QCOMPARE(sent.count(QStringLiteral("AT+CREG?")), 10);
    QCOMPARE(sent.last(), QStringLiteral("AT+CREG?"));
}

void TstRingThread::scriptedReplies_data()
{
    // Replies for AT, AT+CREG? (first, then later ones) and ATD; "OK" for everything else.
    QTest::addColumn<QByteArray>("at");
    QTest::addColumn<QByteArray>("creg1");
    QTest::addColumn<QByteArray>("dial");
    QTest::addColumn<uint>("code");
    const QByteArray ok = "\r\nOK\r\n", reg = "\r\n+CREG: 0,1\r\n\r\nOK\r\n";
    QTest::newRow("lower case accepted")
        << QByteArray("\r\nok\r\n") << QByteArray("\r\n+creg: 0,1\r\nok\r\n")
        << QByteArray("\r\nconnect 9600\r\n") << RingResult::Connected;
    QTest::newRow("failure word while waiting for OK gives 2")
        << QByteArray("\r\nNO CARRIER\r\n") << reg << QByteArray("\r\nCONNECT\r\n")
        << RingResult::ModemSilent;
    QTest::newRow("failure word beats CONNECT")
        << ok << reg << QByteArray("\r\nCONNECT\r\nNO CARRIER\r\n") << RingResult::NoCarrier;
    QTest::newRow("failure word in registration stays")
        << ok << QByteArray("\r\nBUSY\r\n") << QByteArray("\r\nCONNECT\r\n") << RingResult::Busy;
}

void TstRingThread::scriptedReplies()
{
    QFETCH(QByteArray, at);
    QFETCH(QByteArray, creg1);
    QFETCH(QByteArray, dial);
    QFETCH(uint, code);
    TPty pty;
    QVERIFY2(pty.IsValid(), qPrintable(pty.Error()));
    QVERIFY(FConfig->WritePortMap({QStringLiteral("COM8=") + pty.SlavePath()}));
    // The modem's side: answers each command line as it arrives.
    QByteArray pending;
    QStringList heard;
    QTimer responder;
    QObject::connect(&responder, &QTimer::timeout, [&] {
        pending += pty.Read(4096, 0);
        qsizetype end;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 2);
            heard << QString::fromLatin1(command);
            QByteArray reply = "\r\nOK\r\n";
            if (command == "AT")
                reply = at;
            else if (command == "AT+CREG?")
                reply = heard.count(QStringLiteral("AT+CREG?")) == 1
                            ? creg1
                            : QByteArray("\r\n+CREG: 0,1\r\n\r\nOK\r\n");
            else if (command.startsWith("ATD"))
                reply = dial;
            else if (command == "ATH" || command == "ATZ")
                reply.clear();
            pty.Write(reply);
        }
    });
    responder.start(5);
    TAttempt a;
    a.ClosePort = true;
    a.Start(QStringLiteral("COM8"), QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, code);
    if (code == 2) {
        QCOMPARE(heard.last(), QStringLiteral("AT"));
        return;
    }
    QCOMPARE(a.StagesAtFinish,
             (QList<int>{RingStage::PortOpened, RingStage::BearerSelected, RingStage::Dialling}));
    QVERIFY(heard.contains(QStringLiteral("ATD555")));
    // A hang-up only when the dial itself failed (the dialer has ended: all it wrote is here).
    responder.stop();
    pending += pty.ReadQuiet(100, 500);
    QCOMPARE(heard.contains(QStringLiteral("ATH")) || pending.contains("ATH\r\n"), code == 5);
}

void TstRingThread::silentModem_data()
{
    AddSwitchRows("cancel", "time-out", "cancelled in the wait");
}

void TstRingThread::silentModem()
{
    QFETCH(bool, cancel);
    // A line where nobody answers.
    TPty pty;
    QVERIFY2(pty.IsValid(), qPrintable(pty.Error()));
    QVERIFY(FConfig->WritePortMap({QStringLiteral("COM8=") + pty.SlavePath()}));
    // Slow enough that the cancel lands inside the 5 s wait for "OK" (1250 ms here).
    TickClock::SetSpeed(cancel ? 4 : 20);
    TAttempt a;
    a.ClosePort = true;
    a.Start(QStringLiteral("COM8"), QStringLiteral("555"));
    if (cancel) {
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += pty.Read(1, 50)).contains("ATZ\r\nATZ\r\nAT\r\n"), 30000);
        a.Cancel();
    }
    QVERIFY(WaitEnd(a));

    // The wait for "OK" decides: code 2, whatever the cancel marked.
    QCOMPARE(a.CodeSeen, RingResult::ModemSilent);
    QCOMPARE(a.Ring->ErrorCode(), RingResult::ModemSilent);
    QCOMPARE(ModemErrorText(2), QStringLiteral("Модем не отвечает"));
    QCOMPARE(a.StagesAtFinish, QList<int>{RingStage::PortOpened});
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")),
             (QStringList{QStringLiteral("ATZ"), QStringLiteral("ATZ"), QStringLiteral("AT")}));
    // Nothing heard while listening, nothing in the wait: one empty line each.
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral(">>")), (QStringList{QString(), QString()}));
}

void TstRingThread::cancelDuringRegistrationKeepsTheMark()
{
    QVERIFY(StartModem({QStringLiteral("--creg-never")}));
    TickClock::SetSpeed(5);
    TAttempt a;
    a.ClosePort = true;
    a.Start(ModemCom, QStringLiteral("555"));
    QTRY_VERIFY_WITH_TIMEOUT(ModemLog().Count(QStringLiteral("AT+CREG?")) >= 2, 60000);
    a.Cancel();
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::Cancelled);
    QCOMPARE(a.StagesAtFinish, (QList<int>{RingStage::PortOpened, RingStage::BearerSelected}));
    const QStringList sent = DialerLogTexts(a.Log, QStringLiteral("<<"));
    QCOMPARE(sent.last(), QStringLiteral("AT+CREG?"));
    QVERIFY(sent.count(QStringLiteral("AT+CREG?")) < 10);
}

void TstRingThread::cancelDuringDiallingHangsUp()
{
    QVERIFY(StartModem({QStringLiteral("--dial-result"), QStringLiteral("silence")}));
    TickClock::SetSpeed(5);
    TAttempt a;
    a.ClosePort = true;
    a.Start(ModemCom, QStringLiteral("555"));
    QTRY_VERIFY_WITH_TIMEOUT(
        a.Owner.Stages.contains(RingStage::Dialling) && ModemLog().Event("dial "), 60000);
    a.Cancel();
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::Cancelled);
    QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")).mid(5),
             (QStringList{QStringLiteral("ATD555"), QStringLiteral("ATH")}));
    QTRY_COMPARE_WITH_TIMEOUT(ModemLog().Count(QStringLiteral("ATH")), 1, 20000);
}

void TstRingThread::cancelEndsAPauseAtOnce()
{
    // On this clock each second of listening after the port opens takes 20 s: a cancel that
    // waited for the pause to end would hold its owner (the window) that long.
    TPty pty;
    QVERIFY2(pty.IsValid(), qPrintable(pty.Error()));
    QVERIFY(FConfig->WritePortMap({QStringLiteral("COM8=") + pty.SlavePath()}));
    TickClock::SetSpeed(0.05);
    TAttempt a;
    a.ClosePort = true;
    a.Start(QStringLiteral("COM8"), QStringLiteral("555"));
    QTRY_VERIFY_WITH_TIMEOUT(a.Owner.Stages.contains(RingStage::PortOpened), 30000);
    QElapsedTimer clock;
    clock.start();
    a.Cancel();
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(WaitEnd(a));
    QCOMPARE(a.CodeSeen, RingResult::Cancelled);
}

void TstRingThread::portCannotBeOpened_data()
{
    AddSwitchRows("held", "not in the port map", "held by another program");
}

void TstRingThread::portCannotBeOpened()
{
    QFETCH(bool, held);
    THandle other = INVALID_HANDLE_VALUE;
    QString com = QStringLiteral("COM9");
    if (held) {
        QVERIFY(StartModem({}));
        com = ModemCom;
        QVERIFY(OpenCOMPort(com, 19200, other));
    }
    TAttempt a;
    a.Start(com, QStringLiteral("555"));
    QVERIFY(WaitEnd(a));

    QCOMPARE(a.CodeSeen, RingResult::PortNotOpened);
    QCOMPARE(ModemErrorText(1), QStringLiteral("Не могу открыть COM-порт"));
    QCOMPARE(DialerLogBodies(a.Log), QStringList{QStringLiteral(" Ошибка открытия порта")});
    // Progress events are posted before the completion is handed over, so none came.
    QVERIFY(a.StagesAtFinish.isEmpty());
    QCOMPARE(a.Port, INVALID_HANDLE_VALUE);
    if (held) {
        QVERIFY(CloseCOMPort(other));
        QCOMPARE(ModemLog().Commands(), QStringList());
    }
}

void TstRingThread::cancelRightAfterCreationIsNeverLost()
{
    QVERIFY(StartModem({}));
    for (int i = 0; i < 5; ++i) {
        TAttempt a;
        a.ClosePort = true;
        a.Start(ModemCom, QStringLiteral("555"));
        a.Cancel();
        QVERIFY(a.Ring->isFinished());
        QCOMPARE(a.HandlerRuns, 1);
        QCOMPARE(a.CodeSeen, RingResult::Cancelled);
        QCOMPARE(DialerLogTexts(a.Log, QStringLiteral("<<")), QStringList());
    }
    QCOMPARE(ModemLog().Commands(), QStringList());
    QVERIFY(PortCanBeOpened(ModemCom));
}

void TstRingThread::portTakenByTheOwnerIsNotClosedAgain()
{
    QVERIFY(StartModem({QStringLiteral("--creg-never")}));
    TAttempt a;
    a.ClosePort = true; // as the main window does for a cancel
    a.Start(ModemCom, QStringLiteral("555"));
    QTRY_VERIFY_WITH_TIMEOUT(a.Owner.Stages.contains(RingStage::BearerSelected), 60000);
    a.Cancel();
    QVERIFY(WaitEnd(a));
    QCOMPARE(a.CodeSeen, RingResult::Cancelled);
    QVERIFY(a.PortSeen != INVALID_HANDLE_VALUE);

    // The descriptor number is free again and goes to the next file opened; destroying the
    // dialer must leave that file alone.
    int fds[2] = {-1, -1};
    QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
    const bool reused = fds[0] == int(a.PortSeen) || fds[1] == int(a.PortSeen);
    a.Ring.reset();
    QVERIFY(::fcntl(fds[0], F_GETFD) != -1);
    QVERIFY(::fcntl(fds[1], F_GETFD) != -1);
    ::close(fds[0]);
    ::close(fds[1]);
    QVERIFY2(reused, "the closed port's descriptor was not reused; the check above proves little");
    QVERIFY(PortCanBeOpened(ModemCom));
}

void TstRingThread::portNotTakenIsClosedByTheDestructor_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("opened but not prepared (code 1)") << "unprepared";
    QTest::newRow("cancelled (code 255)") << "cancel";
    QTest::newRow("destroyed while running") << "destroy";
    QTest::newRow("no registration (code 3)") << "creg";
}

void TstRingThread::portNotTakenIsClosedByTheDestructor()
{
    QFETCH(QString, how);
    QVERIFY(StartModem(how == QLatin1String("creg") ? QStringList{QStringLiteral("--creg-never")}
                                                    : QStringList{}));
    {
        TAttempt a;
        a.TakePort = false;
        if (how == QLatin1String("unprepared")) {
            // Speed 0 is refused after the port has been opened.
            a.Start(ModemCom, QStringLiteral("555"), 0);
            QVERIFY(WaitEnd(a));
            QCOMPARE(a.CodeSeen, RingResult::PortNotOpened);
            QVERIFY(a.PortSeen != INVALID_HANDLE_VALUE);
        } else if (how == QLatin1String("cancel")) {
            a.Start(ModemCom, QStringLiteral("555"));
            QTRY_VERIFY_WITH_TIMEOUT(a.Owner.Stages.contains(RingStage::PortOpened), 30000);
            a.Cancel();
            QCOMPARE(a.CodeSeen, RingResult::Cancelled);
        } else if (how == QLatin1String("destroy")) {
            a.Start(ModemCom, QStringLiteral("555"));
            QTRY_VERIFY_WITH_TIMEOUT(a.Owner.Stages.contains(RingStage::PortOpened), 30000);
            QVERIFY(!PortCanBeOpened(ModemCom));
            // Destroyed without a cancel: it stops, and its completion handler never runs.
            a.Ring.reset();
            QCOMPARE(a.HandlerRuns, 0);
            QVERIFY(PortCanBeOpened(ModemCom));
            return;
        } else {
            a.Start(ModemCom, QStringLiteral("555"));
            QVERIFY(WaitEnd(a));
            QCOMPARE(a.CodeSeen, RingResult::NotRegistered);
        }
        QVERIFY(!PortCanBeOpened(ModemCom)); // still held by the dialer object
    }
    QVERIFY(PortCanBeOpened(ModemCom));
}

QTEST_MAIN(TstRingThread)
#include "tst_ringthread.moc"
