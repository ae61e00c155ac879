// lindqvar-modem on a real pseudo-terminal: the AT dialogue as the dialer speaks it, each dial
// outcome, the call carrying the device, the "+++"/ATH hang-up and a call dropped mid-link.
#include "support/SwitchRows.h"
#include "support/ToolHarness.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

class TstToolModem : public QObject
{
    Q_OBJECT
private slots:
    void commandDialogue();
    void registration_data();
    void registration();
    void dialOutcomes_data();
    void dialOutcomes();
    void silenceUntilHangUp();
    void callCarriesDeviceUntilEscapeAndHangUp();
    void callDroppedMidLink_data();
    void callDroppedMidLink();
    void greeting();

private:
    // Starts the modem with the given options, quick delays and a dialogue log; the far side of
    // its line, or null when it did not start.
    std::unique_ptr<LineClient> startModem(ToolProcess &modem, QStringList args);
    QStringList logLines() const;
    QTemporaryDir m_dir;
};

std::unique_ptr<LineClient> TstToolModem::startModem(ToolProcess &modem, QStringList args)
{
    args << "--time-scale"
         << "10"
         << "--log" << m_dir.filePath("modem.log");
    if (!modem.start("lindqvar-modem", args))
        return nullptr;
    const QString path = modem.waitLine("PTY ");
    return path.isEmpty() ? nullptr : std::make_unique<LineClient>(path);
}

QStringList TstToolModem::logLines() const
{
    QFile f(m_dir.filePath("modem.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Sends a command line as the dialer does and returns what came back up to the final result.
static QByteArray command(LineClient &line, const QByteArray &cmd, const QByteArray &result)
{
    // A failed write shows as a reply without the awaited result.
    if (!line.write(cmd + "\r\n"))
        return {};
    return line.readUntil(result);
}

void TstToolModem::commandDialogue()
{
    ToolProcess modem;
    const auto line = startModem(modem, {});
    QVERIFY(line);
    QCOMPARE(command(*line, "ATZ", "OK\r\n"), QByteArray("ATZ\r\r\nOK\r\n"));
    QCOMPARE(command(*line, "AT", "OK\r\n"), QByteArray("AT\r\r\nOK\r\n"));
    QCOMPARE(command(*line, "AT+CBST=7,0,1", "OK\r\n"), QByteArray("AT+CBST=7,0,1\r\r\nOK\r\n"));
    QCOMPARE(command(*line, "AT+XYZ", "ERROR\r\n"), QByteArray("AT+XYZ\r\r\nERROR\r\n"));
    QCOMPARE(command(*line, "ATE0", "OK\r\n"), QByteArray("ATE0\r\r\nOK\r\n"));
    QCOMPARE(command(*line, "AT", "OK\r\n"), QByteArray("\r\nOK\r\n"));
    QCOMPARE(command(*line, "ATE1", "OK\r\n"), QByteArray("\r\nOK\r\n"));
    QCOMPARE(command(*line, "at", "OK\r\n"), QByteArray("at\r\r\nOK\r\n"));
    // ATZ brings back the echo setting the modem started with.
    ToolProcess quiet;
    const auto quietLine = startModem(quiet, {"--echo-off"});
    QVERIFY(quietLine);
    QCOMPARE(command(*quietLine, "ATE1", "OK\r\n"), QByteArray("\r\nOK\r\n"));
    QCOMPARE(command(*quietLine, "AT", "OK\r\n"), QByteArray("AT\r\r\nOK\r\n"));
    QCOMPARE(command(*quietLine, "ATZ", "OK\r\n"), QByteArray("ATZ\r\r\nOK\r\n"));
    QCOMPARE(command(*quietLine, "AT", "OK\r\n"), QByteArray("\r\nOK\r\n"));
}

void TstToolModem::registration_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("statuses");
    QTest::newRow("at once") << QStringList{} << QList<int>{1, 1, 1, 1};
    QTest::newRow("after 2") << QStringList{"--creg-after", "2"} << QList<int>{2, 2, 1, 1};
    QTest::newRow("never") << QStringList{"--creg-never"} << QList<int>{2, 2, 2, 2};
    QTest::newRow("0,5") << QStringList{"--creg", "5"} << QList<int>{5, 5, 5, 5};
    QTest::newRow("script") << QStringList{"--creg", "0,2,5,1"} << QList<int>{0, 2, 5, 1};
}

void TstToolModem::registration()
{
    QFETCH(QStringList, args);
    QFETCH(QList<int>, statuses);
    ToolProcess modem;
    const auto line = startModem(modem, args << "--echo-off");
    QVERIFY(line);
    for (int status : statuses)
        QCOMPARE(command(*line, "AT+CREG?", "OK\r\n"),
                 "\r\n+CREG: 0," + QByteArray::number(status) + "\r\n\r\nOK\r\n");
}

void TstToolModem::dialOutcomes_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("connect") << "connect" << QByteArray("\r\nCONNECT 9600\r\n");
    QTest::newRow("busy") << "busy" << QByteArray("\r\nBUSY\r\n");
    QTest::newRow("no carrier") << "no-carrier" << QByteArray("\r\nNO CARRIER\r\n");
    QTest::newRow("no dialtone") << "no-dialtone" << QByteArray("\r\nNO DIALTONE\r\n");
    QTest::newRow("no answer") << "no-answer" << QByteArray("\r\nNO ANSWER\r\n");
}

void TstToolModem::dialOutcomes()
{
    QFETCH(QString, result);
    QFETCH(QByteArray, reply);
    ToolProcess modem;
    const auto line = startModem(modem, {"--dial-result", result});
    QVERIFY(line);
    QCOMPARE(command(*line, "ATD+79001234567", reply), "ATD+79001234567\r" + reply);
    if (result != "connect") {
        // The modem is back in command mode after a failed dial.
        QCOMPARE(command(*line, "AT", "OK\r\n"), QByteArray("AT\r\r\nOK\r\n"));
    }
    QVERIFY(modem.stop());
    const QStringList log = logLines();
    QVERIFY(log.contains(QRegularExpression("^\\d+ EVENT dial \\+79001234567$")));
    QVERIFY(log.contains(QRegularExpression("^\\d+ EVENT dial-result " + result + "$")));
}

void TstToolModem::silenceUntilHangUp()
{
    ToolProcess modem;
    const auto line = startModem(modem, {"--dial-result", "silence", "--echo-off"});
    QVERIFY(line);
    QVERIFY(line->write("ATD123\r\n"));
    QVERIFY(line->readFor(1500).isEmpty());
    QCOMPARE(command(*line, "ATH", "OK\r\n"), QByteArray("\r\nOK\r\n"));
    QVERIFY(modem.stop());
    QVERIFY(logLines().contains(QRegularExpression("^\\d+ EVENT dial-aborted$")));
}

void TstToolModem::callCarriesDeviceUntilEscapeAndHangUp()
{
    ToolProcess modem;
    const auto line = startModem(modem, {});
    QVERIFY(line);
    QVERIFY(command(*line, "ATD5551234", "CONNECT 9600\r\n").endsWith("CONNECT 9600\r\n"));
    QVERIFY(line->write("+VER_INFO=?\r\n"));
    QCOMPARE(line->readUntil("OK\r\n"),
             QByteArray("+VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"\r\nOK\r\n"));
    // Pluses inside device data are data, not an escape.
    QVERIFY(line->write(frameBytes(3, tools::Echo, "+++ATH\r")));
    tools::FrameParser::Event ev;
    QVERIFY(readFrame(*line, ev));
    QCOMPARE(ev.frame.payload, std::string("+++ATH\r"));
    // The wizard's hang-up: three separate "+" writes, a pause, then "ATH" without CR LF.
    QTest::qWait(300);
    QVERIFY(line->write("+"));
    QVERIFY(line->write("+"));
    QVERIFY(line->write("+"));
    QTest::qWait(150);
    QVERIFY(line->write("ATH"));
    // The bare "ATH" is echoed as it came and runs after a short pause.
    QByteArray got = line->readUntil("OK\r\nATH\r\nOK\r\n");
    QCOMPARE(got, QByteArray("\r\nOK\r\nATH\r\nOK\r\n"));
    // Hung up: a new dial is possible.
    QVERIFY(command(*line, "ATD5551234", "CONNECT 9600\r\n").endsWith("CONNECT 9600\r\n"));
    QVERIFY(modem.stop());

    const QStringList log = logLines();
    const QRegularExpression format("^(\\d+) (RX|TX|EVENT) .*$");
    qint64 previous = 0;
    for (const QString &l : log) {
        const auto m = format.match(l);
        QVERIFY2(m.hasMatch(), qPrintable(l));
        QVERIFY(m.captured(1).toLongLong() >= previous);
        previous = m.captured(1).toLongLong();
    }
    auto indexOf = [&log](const QString &pattern, int from = 0) {
        return log.indexOf(QRegularExpression(pattern), from);
    };
    const int connect = indexOf("^\\d+ EVENT connect$");
    const int ident = indexOf("^\\d+ RX \\+VER_INFO=\\?\\\\r\\\\n$", connect);
    const int escape = indexOf("^\\d+ EVENT escape$", ident);
    const int hangup = indexOf("^\\d+ EVENT hangup$", escape);
    QVERIFY(connect >= 0);
    QVERIFY(ident > connect);
    QVERIFY(escape > ident);
    QVERIFY(hangup > escape);
    QCOMPARE(indexOf("^\\d+ EVENT escape$", escape + 1), -1);
}

void TstToolModem::callDroppedMidLink_data()
{
    AddSwitchRows("bySignal", "after a time", "on SIGUSR2");
}

void TstToolModem::callDroppedMidLink()
{
    QFETCH(bool, bySignal);
    ToolProcess modem;
    QStringList args{"--echo-off"};
    if (!bySignal)
        args << "--drop-after"
             << "10000"; // 1 s at the test's time scale
    const auto line = startModem(modem, args);
    QVERIFY(line);
    QCOMPARE(command(*line, "ATD1", "CONNECT 9600\r\n"), QByteArray("\r\nCONNECT 9600\r\n"));
    QVERIFY(line->write(frameBytes(1, tools::Echo, "abc")));
    tools::FrameParser::Event ev;
    QVERIFY(readFrame(*line, ev));
    if (bySignal)
        modem.signal(SIGUSR2);
    QCOMPARE(line->readUntil("NO CARRIER\r\n"), QByteArray("\r\nNO CARRIER\r\n"));
    // The call is over: bytes are commands again.
    QCOMPARE(command(*line, "AT", "OK\r\n"), QByteArray("\r\nOK\r\n"));
    QVERIFY(modem.stop());
    QVERIFY(logLines().contains(QRegularExpression("^\\d+ EVENT drop$")));
}

void TstToolModem::greeting()
{
    ToolProcess modem;
    const auto line = startModem(modem, {"--greeting", "+PBREADY"});
    QVERIFY(line);
    QCOMPARE(line->readUntil("+PBREADY\r\n"), QByteArray("\r\n+PBREADY\r\n"));
}

QTEST_GUILESS_MAIN(TstToolModem)
#include "tst_tool_modem.moc"
