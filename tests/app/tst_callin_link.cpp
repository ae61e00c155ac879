// Links to devices that call in: the device stand-in plays a router in TCP client mode and calls
// the wizard on 127.0.0.1, which listens as its port map says.

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "platform/TickClock.h"
#include "support/LinkScript.h"
#include "support/LinkThroughLoss.h"
#include "support/MainFormControls.h"
#include "support/RelayClient.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

#include <csignal>
#include <memory>

namespace
{

// Whether the main window's port list holds the port now.
bool Listed(TMainLindqvarForm &w, const QString &com)
{
    return Ui(w).PortsListComboBox->findText(com) >= 0;
}

} // namespace

class TstCallInLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void devicesThatCallInAreListedAndLinked();
    void deviceDropsAndCallsAgain();

private:
    // Starts the wizard, which listens as the port map says, with its log shown.
    [[nodiscard]] bool StartListening();
    // Starts the stand-in calling the wizard's port with this registration.
    [[nodiscard]] ToolProcess *Call(const QString &id, const QStringList &more = {});

    std::unique_ptr<TWizardFixture> F;
    std::vector<std::unique_ptr<ToolProcess>> FDevices;
    quint16 FPort = 0;
};

void TstCallInLink::init()
{
    F = std::make_unique<TWizardFixture>();
    FPort = FreeTcpPort();
    QVERIFY(FPort != 0);
}

void TstCallInLink::cleanup()
{
    F.reset();
    FDevices.clear();
}

bool TstCallInLink::StartListening()
{
    if (!F->Start())
        return false;
    F->ShowLog();
    return true;
}

ToolProcess *TstCallInLink::Call(const QString &id, const QStringList &more)
{
    auto device = std::make_unique<ToolProcess>();
    if (!device->start(QStringLiteral("lindqvar-device"),
                       QStringList{QStringLiteral("--call-in"),
                                   QStringLiteral("127.0.0.1:%1").arg(FPort),
                                   QStringLiteral("--id"), id, QStringLiteral("--recall-after"),
                                   QStringLiteral("0.3")} +
                           more))
        return nullptr;
    FDevices.push_back(std::move(device));
    return FDevices.back().get();
}

void TstCallInLink::devicesThatCallInAreListedAndLinked()
{
    QVERIFY(F->Config.WritePortMap(
        {QStringLiteral("COM20=listen://127.0.0.1:%1?id=860000000000001&heartbeat=PING").arg(FPort),
         QStringLiteral("COM21=listen://127.0.0.1:%1?id=hex:0102FF").arg(FPort)}));
    QVERIFY(F->Start());
    F->ShowLog();
    TMainLindqvarForm &w = F->Main();
    QVERIFY(!Listed(w, QStringLiteral("COM20")) && !Listed(w, QStringLiteral("COM21")));
    // The refresh button says why they are not listed.
    w.SpeedButton1Click();
    QVERIFY(
        F->LogHas(QStringLiteral("COM20: ждём звонка прибора на 127.0.0.1:%1, прибор ещё не звонил")
                      .arg(FPort)));

    // Two devices call, and a third with an id nobody has: the two are listed as they call.
    // The first one's router sends a heartbeat whenever its line is quiet for 0.4 s.
    QVERIFY(Call(QStringLiteral("860000000000001"),
                 {QStringLiteral("--heartbeat"), QStringLiteral("PING"),
                  QStringLiteral("--heartbeat-every"), QStringLiteral("0.4")}));
    QVERIFY(Call(QStringLiteral("hex:0102FF")));
    QVERIFY(Call(QStringLiteral("860000000000009")));
    QTRY_VERIFY_WITH_TIMEOUT(
        Listed(w, QStringLiteral("COM20")) && Listed(w, QStringLiteral("COM21")), 20000);
    QTRY_VERIFY(F->LogHas(QStringLiteral("с 127.0.0.1: неизвестный id")));
    QCOMPARE(Ui(w).PortsListComboBox->count(), 2);
    QVERIFY(F->ChooseLink(QStringLiteral("COM20"), TConnectionType::Cable));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port 1 --forever")));

    // Exchanges with quiet spells between them, in which the router sends its heartbeats: every
    // reply arrives whole and alone, 0xFF included, and no heartbeat reaches the setup program.
    TRelayClient client;
    QByteArray received;
    int stage = 0;
    QElapsedTimer quiet;
    const QByteArray payload("\xff\x00PING\xff", 7);
    TLinkScript script(
        [&] {
            if (stage == 0) {
                if (w.Session().CommandState() != TCommandState::Connected)
                    return false;
                client.Connect(F->ServerPort);
                stage = 1;
                return false;
            }
            if (stage == 1 && !SetupProgramConnected(w))
                return false;
            if (stage % 2 == 1) {
                if (stage > 1 && quiet.elapsed() < 1500)
                    return false;
                client.Send(quint8(stage), tools::Echo, payload);
                ++stage;
                return false;
            }
            // The bytes themselves: a frame parser would skip stray bytes before a frame.
            received += client.Socket().readAll();
            const QByteArray expected = QByteArray::fromStdString(
                tools::encodeFrame({quint8(stage - 1), quint8(tools::Echo | tools::ReplyFlag),
                                    payload.toStdString()}));
            if (received.size() < expected.size())
                return false;
            LINK_COMPARE(received, expected);
            received.clear();
            quiet.start();
            if (++stage < 8)
                return false;
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    QVERIFY2(script.Succeeded(QStringLiteral("stage %1").arg(stage)),
             qPrintable(F->LogLines().join(u'\n')));
    QVERIFY(ExpectIdle(w));
    QVERIFY(F->LogHas(QStringLiteral(
        "COM20: линия listen:// без управления портом, скорость и режим линии задаёт роутер "
        "прибора")));
    // After the link the device is still connected, and still listed.
    QVERIFY(Listed(w, QStringLiteral("COM20")));

    // The port map loses COM21 while the wizard runs: its device is let go, and its port leaves
    // the list.
    QVERIFY(F->Config.WritePortMap(
        {QStringLiteral("COM20=listen://127.0.0.1:%1?id=860000000000001&heartbeat=PING")
             .arg(FPort)}));
    QTRY_VERIFY_WITH_TIMEOUT(!Listed(w, QStringLiteral("COM21")), 10000);
    QVERIFY(Listed(w, QStringLiteral("COM20")));
}

void TstCallInLink::deviceDropsAndCallsAgain()
{
    QVERIFY(F->Config.WritePortMap(
        {QStringLiteral("COM20=listen://127.0.0.1:%1?id=R1&from=127.0.0.1").arg(FPort)}));
    QVERIFY(StartListening());
    ToolProcess *device = Call(QStringLiteral("R1"));
    QVERIFY(device && !device->waitLine(QStringLiteral("CALLED")).isNull());
    QTRY_VERIFY_WITH_TIMEOUT(Listed(F->Main(), QStringLiteral("COM20")), 20000);
    QVERIFY(F->ChooseLink(QStringLiteral("COM20"), TConnectionType::Cable));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port 1 --forever")));

    // The router loses its call; it calls again 0.3 s later, and the reopen takes the new call.
    int stage = 0;
    QVERIFY2(RunLinkThroughLoss(
                 *F, [&] { device->signal(SIGUSR1); }, [] { return true; }, stage),
             qPrintable(F->LogLines().join(u'\n')));
    QVERIFY(ExpectIdle(F->Main()));
    // Both calls are in the log.
    QVERIFY(F->LogLines().filter(QStringLiteral("COM20: прибор позвонил")).size() >= 2);
}

QTEST_MAIN(TstCallInLink)
#include "tst_callin_link.moc"
