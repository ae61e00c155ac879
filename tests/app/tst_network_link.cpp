// Links to a device behind a serial device server: ser2net (from Debian) serves the stand-in's
// pseudo-terminal on 127.0.0.1 with RFC 2217 or as a raw TCP stream, and the wizard's port map
// names the server instead of a device file.

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "modem/RingThread.h"
#include "platform/TickClock.h"
#include "settings/COMSettingsUnit.h"
#include "support/LinkScript.h"
#include "support/LinkThroughLoss.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Pty.h"
#include "support/RelayClient.h"
#include "support/Ser2Net.h"
#include "support/ThreadCpu.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <memory>
#include <termios.h>
#include <thread>

namespace
{

const QString Com = QStringLiteral("COM12");

} // namespace

class TstNetworkLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void setupProgramRelayedThroughTheServer_data();
    void setupProgramRelayedThroughTheServer();
    void serverGoneAndBack();
    void serverThatCannotBeReached_data();
    void serverThatCannotBeReached();
    void serverGoneDuringIdentification();
    void modemBehindTheServer();

private:
    // Starts the stand-in tool on a pseudo-terminal, ser2net serving it, and the wizard with
    // COM12 mapped to the server and the connection type chosen.
    [[nodiscard]] bool StartBehindServer(const QString &tool, TSer2Net::TProtocol protocol,
                                         TConnectionType type, const QStringList &toolOptions = {});
    [[nodiscard]] bool StartWizard(const QString &path, TConnectionType type);

    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FTool;
    std::unique_ptr<TSer2Net> FServer;
    QString FPty;
};

void TstNetworkLink::init()
{
    F = std::make_unique<TWizardFixture>();
}

void TstNetworkLink::cleanup()
{
    TickClock::SetSpeed(1);
    F.reset();
    FServer.reset();
    FTool.reset();
}

bool TstNetworkLink::StartBehindServer(const QString &tool, TSer2Net::TProtocol protocol,
                                       TConnectionType type, const QStringList &toolOptions)
{
    FTool = std::make_unique<ToolProcess>();
    if (!FTool->start(tool, toolOptions))
        return false;
    FPty = FTool->waitLine(QStringLiteral("PTY "));
    if (FPty.isEmpty())
        return false;
    FServer = std::make_unique<TSer2Net>(FPty, protocol);
    return FServer->Start() && StartWizard(FServer->Url(), type);
}

bool TstNetworkLink::StartWizard(const QString &path, TConnectionType type)
{
    return F->Config.WritePortMap({Com + u'=' + path}) && F->StartOnPort(Com, type);
}

void TstNetworkLink::setupProgramRelayedThroughTheServer_data()
{
    QTest::addColumn<TSer2Net::TProtocol>("protocol");
    QTest::newRow("rfc2217") << TSer2Net::TProtocol::Rfc2217;
    QTest::newRow("raw tcp") << TSer2Net::TProtocol::RawTcp;
}

void TstNetworkLink::setupProgramRelayedThroughTheServer()
{
    QFETCH(TSer2Net::TProtocol, protocol);
    QVERIFY(StartBehindServer(QStringLiteral("lindqvar-device"), protocol, TConnectionType::Cable));
    int speed = B0;
    QVERIFY(RelayThirtyExchanges(*F, FPty, speed));
    QVERIFY(F->LogHas(QStringLiteral("COM порт успешно открыт")));
    const QString speedNote =
        QStringLiteral("%1: линия tcp:// без управления портом, скорость и режим линии задаёт "
                       "сервер")
            .arg(Com);
    if (protocol == TSer2Net::TProtocol::Rfc2217) {
        // The speed of the COM speed dialog reached the server's end of the line.
        QCOMPARE(speed_t(speed), speed_t(B57600));
        QVERIFY(!F->LogHas(speedNote));
    } else {
        // The server keeps its own speed, and the log says once that it cannot be set.
        QCOMPARE(speed_t(speed), speed_t(B9600));
        QCOMPARE(F->LogLines().filter(speedNote).size(), 1);
    }
}

void TstNetworkLink::serverGoneAndBack()
{
    QVERIFY(StartBehindServer(QStringLiteral("lindqvar-device"), TSer2Net::TProtocol::Rfc2217,
                              TConnectionType::Cable));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port 1 --forever")));
    // The server stays away for half a second of reopen attempts, then comes back.
    QVERIFY(RunServerGoneAndBack(*F, *FServer));
}

void TstNetworkLink::serverThatCannotBeReached_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("reason");
    QTest::newRow("nothing listens") << false << QStringLiteral("сервер отклонил соединение");
    QTest::newRow("never answers")
        << true << QStringLiteral("сервер не ответил на RFC 2217 за 5 с");
}

void TstNetworkLink::serverThatCannotBeReached()
{
    QFETCH(bool, listening);
    QFETCH(QString, reason);
    // A listener that never accepts: the connection is made by the system, and then nothing is
    // ever said on it.
    QTcpServer silent;
    silent.setMaxPendingConnections(0);
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    silent.pauseAccepting();
    const quint16 port = listening ? silent.serverPort() : FreeTcpPort();
    QVERIFY(
        StartWizard(QStringLiteral("rfc2217://localhost:%1").arg(port), TConnectionType::Cable));
    TMainLindqvarForm &w = F->Main();

    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(20);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    const qint64 took = clock.elapsed();

    // The window went on serving its events while the attempt ran, and gave up after 5 s.
    QVERIFY2(took < 8000, qPrintable(QString::number(took)));
    if (listening)
        QVERIFY2(ticks >= took / 20 / 4,
                 qPrintable(QStringLiteral("%1 in %2 ms").arg(ticks).arg(took)));
    QCOMPARE(Ui(w).Label7->text(), QStringLiteral("COM-порт занят"));
    const QStringList lines = F->LogLines();
    const qsizetype failed =
        lines.indexOf(QRegularExpression(QStringLiteral(".*: +Ошибка открытия COM порта$")));
    QVERIFY2(failed >= 0 && failed + 1 < lines.size(), qPrintable(lines.join(u'\n')));
    QVERIFY2(lines[failed + 1].contains(QStringLiteral("rfc2217://localhost:%1").arg(port)) &&
                 lines[failed + 1].contains(reason),
             qPrintable(lines[failed + 1]));
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // cancel
    QCOMPARE(w.Session().CommandState(), TCommandState::Idle);
    QVERIFY(Ui(w).PortsListComboBox->isEnabled());
}

void TstNetworkLink::serverGoneDuringIdentification()
{
    QVERIFY(StartBehindServer(QStringLiteral("lindqvar-device"), TSer2Net::TProtocol::Rfc2217,
                              TConnectionType::Cable, {QStringLiteral("--ident-silent")}));
    TMainLindqvarForm &w = F->Main();
    // The identification waits without dispatching, so the server is ended from a thread of
    // the test: the line then stays readable at its end of stream, with nothing to read.
    const qint64 server = FServer->Pid();
    std::thread ender([server] {
        QThread::msleep(300);
        ::kill(pid_t(server), SIGTERM);
    });
    TickClock::SetSpeed(5); // the 10 s wait takes 2 s
    const TThreadCpu cpu = TThreadCpu::Of([&] {
        QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // returns after the whole wait
    });
    ender.join();
    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QVERIFY(F->LogHas(QStringLiteral("Устройство не обнаружено, работа программы невозможна")));
    // The wait slept on the lost line instead of spinning on it.
    QVERIFY2(cpu.MostlyAsleep(), qPrintable(cpu.Text()));
}

void TstNetworkLink::modemBehindTheServer()
{
    TickClock::SetSpeed(20);
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(StartBehindServer(QStringLiteral("lindqvar-modem"), TSer2Net::TProtocol::Rfc2217,
                              TConnectionType::Modem,
                              {QStringLiteral("--time-scale"), QStringLiteral("20"),
                               QStringLiteral("--guard"), QStringLiteral("5")}));
    QVERIFY(
        F->InstallSetupDemo(QStringLiteral("--port %1 --exchanges 20 --transcript ") + transcript));
    TMainLindqvarForm &w = F->Main();
    Ui(w).PhoneNumber->setCurrentText(QStringLiteral("8 900 555"));

    TSetupProgram setup;
    QElapsedTimer quiet;
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup, transcript))
                return false;
            // The modem takes "+++" only after a moment of silence.
            if (!WaitedSinceFirst(quiet, 500))
                return false;
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // starts the dialer and returns
    QTRY_VERIFY_WITH_TIMEOUT(script.Done(), 90000);
    QVERIFY(script.Succeeded(QStringLiteral("the setup program's exchanges")));
    QVERIFY2(setup.Result.startsWith(QStringLiteral("RESULT OK")), qPrintable(setup.Result));
    QVERIFY(F->LogHas(QStringLiteral(":<< ATD8 900 555")));
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().Dialer() && w.Session().Dialer()->isFinished(), 20000);
    QVERIFY(ExpectIdle(w, QStringLiteral("Нет подключения"), false));
}

QTEST_MAIN(TstNetworkLink)
#include "tst_network_link.moc"
