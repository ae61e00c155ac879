// lindqvar-setup-demo against lindqvar-device through a plain relay (a TCP server on 127.0.0.1
// joined to the pty), including a relay that corrupts a byte and one that drops the connection.
#include "support/ToolHarness.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Joins the first TCP client to the pty slave, byte for byte, unless told to spoil a block.
class Relay : public QObject
{
public:
    int corruptBlock = -1; // flip a bit in this block from TCP (1-based)
    int dropAtBlock = -1;  // close the client instead of passing this block on
    int blocksFromTcp = 0;
    QByteArray unclaimed; // line bytes that came while no client was connected

    bool open(const QString &ptyPath)
    {
        m_fd =
            ::open(ptyPath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        tcsetattr(m_fd, TCSANOW, &t);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char buf[8192];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0 && m_client)
                m_client->write(buf, n);
            else if (n > 0)
                unclaimed.append(buf, n);
        });
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = m_server.nextPendingConnection();
            if (m_client) {
                s->deleteLater();
                return;
            }
            m_client = s;
            connect(s, &QTcpSocket::readyRead, this, [this, s] { fromTcp(s); });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                if (m_client == s)
                    m_client = nullptr;
                s->deleteLater();
            });
        });
        return true;
    }
    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return m_server.serverPort(); }
    bool writeLine(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    ~Relay() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

private:
    void fromTcp(QTcpSocket *s)
    {
        QByteArray block = s->readAll();
        ++blocksFromTcp;
        if (blocksFromTcp == dropAtBlock) {
            m_client = nullptr;
            s->abort();
            return;
        }
        if (blocksFromTcp == corruptBlock)
            block[block.size() / 2] = char(block[block.size() / 2] ^ 0x04);
        QVERIFY(::write(m_fd, block.constData(), size_t(block.size())) == block.size());
    }
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
};

QString lastLine(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last();
}

} // namespace

class TstToolSetupDemo : public QObject
{
    Q_OBJECT
private slots:
    void completesRunThroughRelay();
    void corruptedByteIsCaught();
    void waitsForEndpointAndResendsAfterDrop();
    void runsOverModemCall();

private:
    QTemporaryDir m_dir;
};

void TstToolSetupDemo::completesRunThroughRelay()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    Relay relay;
    QVERIFY(relay.open(device.waitLine("PTY ")));
    QVERIFY(relay.listen());
    const QString transcript = m_dir.filePath("ok.txt");
    QProcess demo;
    demo.start(toolPath("lindqvar-setup-demo"),
               {"--port", QString::number(relay.port()), "--exchanges", "12", "--bulk", "10000",
                "--transcript", transcript});
    QTRY_VERIFY_WITH_TIMEOUT(demo.state() == QProcess::NotRunning, 60000);
    QCOMPARE(demo.exitCode(), 0);
    // 12 exchanges and three bulk blocks (4096 + 4096 + 1808 bytes).
    QCOMPARE(lastLine(transcript), QString("RESULT OK 15 of 15 exchanges correct"));
    QVERIFY(demo.readAllStandardOutput().contains("connected to 127.0.0.1"));
}

void TstToolSetupDemo::corruptedByteIsCaught()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    Relay relay;
    relay.corruptBlock = 3;
    QVERIFY(relay.open(device.waitLine("PTY ")));
    QVERIFY(relay.listen());
    const QString transcript = m_dir.filePath("corrupt.txt");
    QProcess demo;
    demo.start(toolPath("lindqvar-setup-demo"), {"--port", QString::number(relay.port()),
                                                 "--exchanges", "6", "--transcript", transcript});
    QTRY_VERIFY_WITH_TIMEOUT(demo.state() == QProcess::NotRunning, 60000);
    QCOMPARE(demo.exitCode(), 1);
    QCOMPARE(lastLine(transcript), QString("RESULT FAIL 5 of 6 exchanges correct"));
    QFile f(transcript);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("3 read-param seq 02 type 01 length 2: FAIL"));
}

void TstToolSetupDemo::waitsForEndpointAndResendsAfterDrop()
{
    // A free port, known before anything listens on it.
    quint16 port;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    QProcess demo;
    demo.start(toolPath("lindqvar-setup-demo"),
               {"--port", QString::number(port), "--exchanges", "8"});
    QVERIFY(demo.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += demo.readAllStandardOutput()).contains("waiting for"), 20000);
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    Relay relay;
    relay.dropAtBlock = 4;
    QVERIFY(relay.open(device.waitLine("PTY ")));
    QVERIFY(relay.listen(port));
    QTRY_VERIFY_WITH_TIMEOUT(demo.state() == QProcess::NotRunning, 60000);
    out += demo.readAllStandardOutput();
    QCOMPARE(demo.exitCode(), 0);
    QVERIFY(out.contains("reconnected"));
    QVERIFY(out.contains("RESULT OK 8 of 8 exchanges correct"));
    QVERIFY(relay.blocksFromTcp >= 9);
}

void TstToolSetupDemo::runsOverModemCall()
{
    ToolProcess modem;
    const QString log = m_dir.filePath("modem.log");
    QVERIFY(modem.start("lindqvar-modem", {"--echo-off", "--time-scale", "10", "--log", log}));
    Relay relay;
    QVERIFY(relay.open(modem.waitLine("PTY ")));
    QVERIFY(relay.writeLine("ATD5551234\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(relay.unclaimed.contains("CONNECT 9600\r\n"), 20000);
    QVERIFY(relay.listen());
    QProcess demo;
    demo.start(toolPath("lindqvar-setup-demo"),
               {"--port", QString::number(relay.port()), "--exchanges", "24", "--bulk", "8192"});
    QTRY_VERIFY_WITH_TIMEOUT(demo.state() == QProcess::NotRunning, 60000);
    QCOMPARE(demo.exitCode(), 0);
    QVERIFY(demo.readAllStandardOutput().contains("RESULT OK 26 of 26 exchanges correct"));
    QVERIFY(modem.stop());
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    // Binary data with pluses in it never looked like an escape or a hang-up to the modem.
    QVERIFY(text.contains("EVENT connect"));
    QVERIFY(!text.contains("EVENT escape"));
    QVERIFY(!text.contains("EVENT drop"));
}

QTEST_GUILESS_MAIN(TstToolSetupDemo)
#include "tst_tool_setupdemo.moc"
