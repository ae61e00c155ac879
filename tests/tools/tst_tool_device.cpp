// lindqvar-device on a real pseudo-terminal: identification modes, the frame protocol with its
// fault detection, recording, and the cable pulled and put back under the same port name; and
// behind a router that calls a server: registration, heartbeats, drops and recalls.
#include "support/ToolHarness.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <memory>

using tools::FrameParser;

static const QByteArray Request = "+VER_INFO=?\r\n";
static const QByteArray Fields = "+VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"\r\n";

class TstToolDevice : public QObject
{
    Q_OBJECT
private slots:
    void identification_data();
    void identification();
    void identificationInPieces();
    void silentDevice();
    void protocolExchanges();
    void faultsAreReported();
    void neverSendsModemResultTexts();
    void recordsReceivedBytes();
    void unplugAndReplug();
    void refusesForeignPortName();
    void sharedMapKeepsEveryLine();
    void pacesOutputAtBaudRate();
    void callsInAndKeepsCalling();
    void registrationOfACall_data();
    void registrationOfACall();
};

static const QByteArray Imei = "860000000000001";
static const QByteArray Heartbeat = "\xfe\x01"; // --heartbeat hex:FE01
static constexpr int HeartbeatMs = 200;         // --heartbeat-every 0.2

// The server's end of one call of the device's router. The heartbeats are counted and taken out
// of the data. Of our writes it notes the longest gap: from the start of one to the end of the
// next, when the bytes are in the device's socket for sure.
class CallPeer
{
public:
    explicit CallPeer(QTcpSocket *socket) : m_socket(socket) { m_clock.start(); }
    [[nodiscard]] bool write(const QByteArray &bytes)
    {
        const qint64 start = m_clock.elapsed();
        const bool ok =
            m_socket->write(bytes) == bytes.size() && m_socket->waitForBytesWritten(10000);
        if (m_lastWrite >= 0)
            m_longestGap = qMax(m_longestGap, m_clock.elapsed() - m_lastWrite);
        m_lastWrite = start;
        return ok;
    }
    // Gaps count from the last write on.
    void restartGaps() { m_longestGap = 0; }
    qint64 longestGap() const { return m_longestGap; }
    qint64 sinceWrite() const { return m_clock.elapsed() - m_lastWrite; }
    // The next bytes of data are these (read within the time-out).
    [[nodiscard]] bool expect(const QByteArray &bytes)
    {
        QDeadlineTimer deadline(20000);
        while (data().size() < bytes.size() && !deadline.hasExpired())
            readSome(100);
        if (!data().startsWith(bytes)) {
            qWarning() << "expected" << bytes.toHex() << "got" << data().toHex();
            return false;
        }
        m_consumed += bytes.size();
        return true;
    }
    [[nodiscard]] bool waitHeartbeats(int count)
    {
        QDeadlineTimer deadline(20000);
        while (m_heartbeats < count && !deadline.hasExpired())
            readSome(100);
        return m_heartbeats >= count;
    }
    void readFor(int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired())
            readSome(int(qBound(qint64(1), deadline.remainingTime(), qint64(100))));
    }
    const QByteArray &raw() const { return m_raw; }
    int heartbeats() const { return m_heartbeats; }
    QTcpSocket &socket() { return *m_socket; }

private:
    QByteArray data() const { return QByteArray(m_raw).replace(Heartbeat, "").mid(m_consumed); }
    void readSome(int ms)
    {
        if (m_socket->bytesAvailable() == 0)
            m_socket->waitForReadyRead(ms);
        const QByteArray chunk = m_socket->readAll();
        m_raw += chunk;
        m_heartbeats = int(m_raw.count(Heartbeat));
    }
    QTcpSocket *m_socket;
    QElapsedTimer m_clock;
    QByteArray m_raw;
    qsizetype m_consumed = 0;
    int m_heartbeats = 0;
    qint64 m_lastWrite = -1, m_longestGap = 0;
};

// Accepts the router's next call and reads its registration, which must be its first bytes.
[[nodiscard]] static bool acceptCall(QTcpServer &server, std::unique_ptr<CallPeer> &call,
                                     const QByteArray &registration)
{
    if (!server.waitForNewConnection(20000))
        return false;
    call = std::make_unique<CallPeer>(server.nextPendingConnection());
    return call->expect(registration) && call->raw().startsWith(registration);
}

void TstToolDevice::identification_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << QStringList{} << Fields + "OK\r\n";
    QTest::newRow("echo") << QStringList{"--ident-echo"} << Request + Fields + "OK\r\n";
    QTest::newRow("no OK") << QStringList{"--ident-no-ok"} << Fields;
    QTest::newRow("lower case") << QStringList{"--ident-lower"} << Fields.toLower() + "ok\r\n";
    QTest::newRow("own fields") << QStringList{"--ident", "+VER_INFO: 7, MODEL.2.05,x"}
                                << QByteArray("+VER_INFO: 7, MODEL.2.05,x\r\nOK\r\n");
}

void TstToolDevice::identification()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, expected);
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", args));
    const QString path = device.waitLine("PTY ");
    QVERIFY(path.startsWith("/dev/"));
    LineClient line(path);
    QVERIFY(line.isOpen());
    // The request may come in pieces, as a serial write can.
    QVERIFY(line.write(Request.left(5)));
    QVERIFY(line.write(Request.mid(5)));
    QByteArray got = line.readUntil(expected.right(4));
    got += line.readFor(200);
    QCOMPARE(got, expected);
    // Asked again (a new link), it answers again.
    QVERIFY(line.write(Request));
    QCOMPARE(line.readUntil(expected), expected);
    QVERIFY(device.stop());
}

void TstToolDevice::identificationInPieces()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {"--ident-pieces", "--piece-gap", "1500"}));
    LineClient line(device.waitLine("PTY "));
    QVERIFY(line.write(Request));
    const QByteArray first = line.readSome();
    QVERIFY(!first.isEmpty());
    QVERIFY2(!first.contains("OK\r\n"), first.constData());
    QCOMPARE(first + line.readUntil("OK\r\n"), Fields + "OK\r\n");
}

void TstToolDevice::silentDevice()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {"--ident-silent"}));
    LineClient line(device.waitLine("PTY "));
    QVERIFY(line.write(Request));
    QVERIFY(line.readFor(1000).isEmpty());
    // The protocol still works: only the identification is withheld.
    QVERIFY(line.write(frameBytes(1, tools::Echo, "x")));
    FrameParser::Event ev;
    QVERIFY(readFrame(line, ev));
    QCOMPARE(int(ev.result), int(FrameParser::Result::Frame));
    QCOMPARE(ev.frame.payload, std::string("x"));
}

void TstToolDevice::protocolExchanges()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    LineClient line(device.waitLine("PTY "));
    QVERIFY(line.write(Request));
    QVERIFY(line.readUntil("OK\r\n").endsWith("OK\r\n"));

    struct Case {
        quint8 type;
        QByteArray payload;
        quint8 replyType;
        QByteArray replyPayload;
    };
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    const QByteArray big(4096, '\x7f');
    const QList<Case> cases = {
        {tools::Echo, all, 0x83, all},
        {tools::Echo, {}, 0x83, {}},
        {tools::Echo, big, 0x83, big},
        {tools::ReadParam, QByteArray("\x00\x01", 2), 0x81,
         QByteArray("\x00\x01"
                    "DEMO",
                    6)},
        {tools::WriteParam,
         QByteArray("\x01\x2c"
                    "abc\0\xff",
                    7),
         0x82, QByteArray("\x01\x2c", 2)},
        {tools::ReadParam, QByteArray("\x01\x2c", 2), 0x81,
         QByteArray("\x01\x2c"
                    "abc\0\xff",
                    7)},
        {tools::Sink, QByteArray(1000, 'x'), 0x84,
         QByteArray::fromStdString(tools::hex(1000, 8) + ":" +
                                   tools::hex(tools::crc16(std::string(1000, 'x')), 4))},
        {tools::ReadParam, QByteArray("\x09\x09", 2), tools::ErrorReply,
         QByteArray(1, char(tools::BadParameter))},
        {0x55, "?", tools::ErrorReply, QByteArray(1, char(tools::UnknownType))},
    };
    quint8 seq = 0xF0;
    for (const Case &c : cases) {
        QVERIFY(line.write(frameBytes(++seq, c.type, c.payload)));
        FrameParser::Event ev;
        QVERIFY(readFrame(line, ev));
        QCOMPARE(int(ev.result), int(FrameParser::Result::Frame));
        QCOMPARE(ev.frame.seq, seq);
        QCOMPARE(ev.frame.type, c.replyType);
        QCOMPARE(QByteArray::fromStdString(ev.frame.payload), c.replyPayload);
    }
}

void TstToolDevice::faultsAreReported()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    LineClient line(device.waitLine("PTY "));
    const QByteArray good = frameBytes(7, tools::Echo, "payload bytes");
    auto expectError = [&line](int seq, quint8 status) {
        FrameParser::Event ev;
        QVERIFY(readFrame(line, ev));
        QCOMPARE(int(ev.result), int(FrameParser::Result::Frame));
        QCOMPARE(ev.frame.type, quint8(tools::ErrorReply));
        QCOMPARE(int(ev.frame.seq), seq);
        QCOMPARE(QByteArray::fromStdString(ev.frame.payload), QByteArray(1, char(status)));
    };
    // A byte changed on the way.
    QByteArray corrupted = good;
    corrupted[12] = char(corrupted[12] ^ 0x01);
    QVERIFY(line.write(corrupted));
    expectError(7, tools::BadChecksum);
    // Two bytes swapped.
    QByteArray swapped = good;
    std::swap(swapped[10], swapped[11]);
    QVERIFY(line.write(swapped));
    expectError(7, tools::BadChecksum);
    // A byte lost: the frame stays short and is answered as incomplete after a pause.
    QByteArray lost = good;
    lost.remove(15, 1);
    QVERIFY(line.write(lost));
    expectError(7, tools::Incomplete);
    // The line is usable again afterwards.
    QVERIFY(line.write(good));
    FrameParser::Event ev;
    QVERIFY(readFrame(line, ev));
    QCOMPARE(ev.frame.payload, std::string("payload bytes"));
}

void TstToolDevice::neverSendsModemResultTexts()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {}));
    LineClient line(device.waitLine("PTY "));
    quint8 seq = 0;
    for (const QByteArray &text : {QByteArray("abc no carrier"), QByteArray("Busy"),
                                   QByteArray("NO DIALTONE"), QByteArray("x No Answer y")}) {
        QVERIFY(line.write(frameBytes(++seq, tools::Echo, text)));
        FrameParser::Event ev;
        QByteArray raw;
        QVERIFY(readFrame(line, ev, 20000, &raw));
        QVERIFY(!tools::containsModemResultText(raw.toStdString()));
        QCOMPARE(ev.frame.type, quint8(tools::ErrorReply));
        QCOMPARE(QByteArray::fromStdString(ev.frame.payload),
                 QByteArray(1, char(tools::ForbiddenText)));
    }
}

void TstToolDevice::recordsReceivedBytes()
{
    QTemporaryDir dir;
    const QString record = dir.filePath("rx.bin");
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {"--record", record}));
    LineClient line(device.waitLine("PTY "));
    const QByteArray frame = frameBytes(1, tools::Echo, QByteArray("\0\r\n\xff", 4));
    const QByteArray sent = Request + frame;
    QVERIFY(line.write(Request));
    line.readUntil("OK\r\n");
    QVERIFY(line.write(frame));
    FrameParser::Event ev;
    QVERIFY(readFrame(line, ev));
    QVERIFY(device.stop());
    QFile f(record);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), sent);
}

static QStringList confLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

void TstToolDevice::unplugAndReplug()
{
    QTemporaryDir dir;
    const QString conf = dir.filePath("Varo/Lindqvar/ports.conf");
    QVERIFY(QDir().mkpath(dir.filePath("Varo/Lindqvar")));
    {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("# user's map\nCOM7=/dev/null\n");
    }
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device",
                         {"--ports-conf", conf, "--com", "COM5", "--replug-after", "300"}));
    const QString first = device.waitLine("PTY ");
    QVERIFY(QFile::exists(first));
    QCOMPARE(confLines(conf), QStringList({"# user's map", "COM7=/dev/null", "COM5=" + first}));
    {
        // The wizard holds the port open while the cable is pulled.
        LineClient line(first);
        QVERIFY(line.isOpen());
        device.signal(SIGUSR1);
        QVERIFY(!device.waitLine("UNPLUGGED").isNull());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(first), 20000);
        const QString second = device.waitLine("PTY ");
        QVERIFY(!second.isEmpty());
        QVERIFY(second != first);
        QCOMPARE(confLines(conf),
                 QStringList({"# user's map", "COM7=/dev/null", "COM5=" + second}));
        LineClient again(second);
        QVERIFY(again.write(Request));
        QVERIFY(again.readUntil("OK\r\n").endsWith("OK\r\n"));
    }
    QVERIFY(device.stop());
    QCOMPARE(confLines(conf), QStringList({"# user's map", "COM7=/dev/null"}));
}

void TstToolDevice::refusesForeignPortName()
{
    QTemporaryDir dir;
    const QString conf = dir.filePath("ports.conf");
    {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("COM3=/dev/null\n");
    }
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {"--ports-conf", conf, "--com", "COM3"}));
    QVERIFY(device.process().waitForFinished(20000));
    QCOMPARE(device.process().exitCode(), 1);
    QCOMPARE(confLines(conf), QStringList({"COM3=/dev/null"}));
}

void TstToolDevice::sharedMapKeepsEveryLine()
{
    QTemporaryDir dir;
    const QString conf = dir.filePath("ports.conf");
    {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("COM4=/dev/pts/999999\nCOM1=/dev/null\n"); // COM4 left behind by a crash
    }
    // Started together, the tools rewrite the same map at the same moment.
    ToolProcess a, b, c;
    QVERIFY(a.start("lindqvar-device", {"--ports-conf", conf, "--com", "COM4"}));
    QVERIFY(b.start("lindqvar-modem", {"--ports-conf", conf, "--com", "COM8"}));
    QVERIFY(c.start("lindqvar-device", {"--ports-conf", conf, "--com", "COM9"}));
    const QString pa = a.waitLine("PTY "), pb = b.waitLine("PTY "), pc = c.waitLine("PTY ");
    QVERIFY(!pa.isEmpty() && !pb.isEmpty() && !pc.isEmpty());
    QStringList lines = confLines(conf);
    lines.sort();
    QCOMPARE(lines, QStringList({"COM1=/dev/null", "COM4=" + pa, "COM8=" + pb, "COM9=" + pc}));
    QVERIFY(b.stop());
    QVERIFY(a.stop());
    QCOMPARE(confLines(conf), QStringList({"COM1=/dev/null", "COM9=" + pc}));
}

void TstToolDevice::pacesOutputAtBaudRate()
{
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device", {"--baud", "9600"}));
    LineClient line(device.waitLine("PTY "));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(line.write(frameBytes(1, tools::Echo, QByteArray(1986, 'z')))); // a 2000-byte reply
    tools::FrameParser::Event ev;
    QVERIFY(readFrame(line, ev));
    QCOMPARE(ev.frame.payload.size(), size_t(1986));
    // 960 bytes a second: the reply cannot arrive sooner than about two seconds.
    QVERIFY2(clock.elapsed() >= 1900, qPrintable(QString::number(clock.elapsed())));
}

void TstToolDevice::callsInAndKeepsCalling()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device",
                         {"--call-in", target, "--id", Imei, "--heartbeat", "hex:FE01",
                          "--heartbeat-every", "0.2", "--recall-after", "0.2"}));
    std::unique_ptr<CallPeer> call;
    QVERIFY(acceptCall(server, call, Imei));
    QCOMPARE(device.waitLine("CALLED "), target);

    // The device answers over the connection. What comes after an answer was sent after its
    // request: the heartbeats counted from here on.
    const QByteArray reply = Fields + "OK\r\n";
    QVERIFY(call->write(Request));
    QVERIFY(call->expect(reply));
    const int heartbeatsBefore = call->heartbeats();
    call->restartGaps();
    // Busy for a second: requests, and between them a quarter of a second of bytes that the
    // device leaves unanswered, 60 ms apart. Traffic never stops either way, so no heartbeat is
    // due; only a stall of this test (0.19 s between two writes) could let one in.
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < 1000) {
        for (int i = 0; i < 4; ++i) {
            QVERIFY(call->write("\r\n"));
            call->readFor(60);
        }
        QVERIFY(call->write(Request));
        QVERIFY(call->expect(reply));
    }
    if (call->longestGap() < HeartbeatMs - 10)
        QCOMPARE(call->heartbeats(), heartbeatsBefore);
    // Quiet: heartbeats come, and keep coming, at most one every 0.2 s since the last request.
    const int heartbeatsBusy = call->heartbeats();
    QVERIFY(call->waitHeartbeats(heartbeatsBusy + 2));
    call->readFor(HeartbeatMs * 2);
    QVERIFY2(call->heartbeats() - heartbeatsBusy <= call->sinceWrite() / HeartbeatMs + 1,
             qPrintable(QStringLiteral("%1 heartbeats in %2 ms")
                            .arg(call->heartbeats() - heartbeatsBusy)
                            .arg(call->sinceWrite())));

    // The server ends the call; the router calls again, registration first.
    call->socket().close();
    QVERIFY(!device.waitLine("DROPPED").isNull());
    QVERIFY(acceptCall(server, call, Imei));
    QCOMPARE(device.waitLine("CALLED "), target);
    // SIGUSR1 drops it from the router's side; it calls again just the same.
    device.signal(SIGUSR1);
    QVERIFY(!device.waitLine("DROPPED").isNull());
    QVERIFY(call->socket().state() == QAbstractSocket::UnconnectedState ||
            call->socket().waitForDisconnected(20000));
    QVERIFY(acceptCall(server, call, Imei));
    QCOMPARE(device.waitLine("CALLED "), target);
    QVERIFY(call->write(Request));
    QVERIFY(call->expect(Fields + "OK\r\n"));
    QVERIFY(device.stop());
}

void TstToolDevice::registrationOfACall_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("registration"); // null: refused with exit code 2
    QTest::newRow("text") << QStringList{"--id", Imei} << Imei;
    QTest::newRow("hex") << QStringList{"--id", "hex:0102FF"} << QByteArray("\x01\x02\xff");
    QTest::newRow("odd hex") << QStringList{"--id", "hex:0102F"} << QByteArray();
    QTest::newRow("and a pty") << QStringList{"--device", "/dev/null"} << QByteArray();
}

void TstToolDevice::registrationOfACall()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, registration);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    // The router calls before the server is there: refused, it keeps calling.
    server.close();
    ToolProcess device;
    QVERIFY(device.start("lindqvar-device",
                         QStringList{"--call-in", QStringLiteral("127.0.0.1:%1").arg(port),
                                     "--recall-after", "0.1"} +
                             args));
    if (registration.isNull()) {
        QVERIFY(device.process().waitForFinished(20000));
        QCOMPARE(device.process().exitCode(), 2);
        return;
    }
    QThread::msleep(300);
    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    std::unique_ptr<CallPeer> call;
    QVERIFY(acceptCall(server, call, registration));
    // The registration is those bytes alone: the device's answer follows it directly.
    QVERIFY(call->write(Request));
    QVERIFY(call->expect(Fields + "OK\r\n"));
    QCOMPARE(call->raw(), registration + Fields + "OK\r\n");
}

QTEST_GUILESS_MAIN(TstToolDevice)
#include "tst_tool_device.moc"
