// The relay's serial link steps on a pseudo-terminal line the test holds: a failed write, the
// modem result texts, the port's open and reopen, and a block that meets the end of its link.

#include "support/PatternBytes.h"
#include "support/RelayBench.h"

#include "log/Win1251.h"

#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace
{

// Fills the line towards the device until it takes nothing more: the device has stopped
// reading. Returns how many bytes went in.
qsizetype StopTheDeviceReading(TPty &pty)
{
    const int fd = pty.SlaveFd();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const QByteArray filler(4096, 'F');
    qsizetype total = 0;
    // The kernel moves queued bytes on to the device's side a little later, making room again:
    // fill until the line has taken nothing for a while.
    for (int quiet = 0; quiet < 5;) {
        const ssize_t n = ::write(fd, filler.constData(), size_t(filler.size()));
        if (n > 0) {
            total += n;
            quiet = 0;
            continue;
        }
        ++quiet;
        QThread::msleep(100);
    }
    return total;
}

} // namespace

class TstLinkRelay : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void failedWriteDropsTheClientAndReopens();
    void writeToAnUnpluggedLine();
    void modemResultTextEndsTheLink_data();
    void modemResultTextEndsTheLink();
    void resultTextSplitAcrossReadsIsData();
    void resultTextOnACableIsData();
    void reopenTakesTheViewsSpeed_data();
    void reopenTakesTheViewsSpeed();
    void openOnAHeldPort();
    void blockAtTheEndOfTheLinkIsDropped();
    void bufferBounds();

private:
    std::unique_ptr<TRelayBench> B;
};

void TstLinkRelay::init()
{
    B = std::make_unique<TRelayBench>();
    QVERIFY(B->Start());
}

void TstLinkRelay::cleanup()
{
    B.reset();
}

void TstLinkRelay::failedWriteDropsTheClientAndReopens()
{
    QVERIFY(B->BeginRelay());
    QTcpSocket client;
    QVERIFY(B->Connect(client));
    QVERIFY(StopTheDeviceReading(B->Pty) > 0);

    // The pass writes the client's block; the line takes nothing (after the serial layer's
    // stall limit), so the write has failed.
    client.write("request");
    QVERIFY(B->PassUntil([&] { return B->Relay.ReconnectPending(); }));
    QVERIFY(B->Host.Log.contains(QStringLiteral("Ошибка записи в COM порт")));
    QCOMPARE(B->Host.Status, QStringLiteral("Прибор не доступен"));
    QVERIFY(B->Host.Alarm);
    QCOMPARE(B->State().FReadSocket, 0);
    QVERIFY(!B->Relay.SetupConnected());
    QCOMPARE(B->Endpoint.ActiveConnections(), 0);
    QVERIFY(B->Endpoint.Active());
    QVERIFY(!B->Endpoint.ReadsSuspended());
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(B->Relay.Connected());

    // The device reads again: the next passes reopen the port and the relay goes on.
    B->Pty.ReadQuiet(300);
    QVERIFY(B->PassUntil(
        [&] { return B->Host.Log.contains(QStringLiteral("Порт успешно переоткрыт")); }));
    QVERIFY(B->Host.Log.contains(QStringLiteral("Попытка переокрытия COM порта")));
    QCOMPARE(B->Host.Status, QStringLiteral("Подключен"));
    QVERIFY(!B->Host.Alarm);
    QVERIFY(!B->Relay.ReconnectPending());
    B->Pty.ReadQuiet(300);

    QTcpSocket again;
    QVERIFY(B->Connect(again));
    again.write("again");
    QByteArray atDevice;
    QVERIFY(B->PassUntil([&] {
        atDevice += B->Pty.Read(64, 0);
        return atDevice.size() >= 5;
    }));
    // The failed block was lost, not written late.
    QCOMPARE(atDevice, QByteArray("again"));
}

void TstLinkRelay::writeToAnUnpluggedLine()
{
    QVERIFY(B->OpenPort());
    B->Pty.Unplug();
    B->State().FReadSocket = B->Relay.BytesToBuffer("lost");
    QCOMPARE(B->Relay.COMWrite(4), 0);
    QVERIFY(B->Host.Log.contains(QStringLiteral("Ошибка записи в COM порт")));
    QCOMPARE(B->Host.Status, QStringLiteral("Прибор не доступен"));
    QVERIFY(B->Relay.ReconnectPending());
    QCOMPARE(B->State().FReadSocket, 0);
    // Reading the dead line gives nothing, and no fault escapes.
    QCOMPARE(B->Relay.COMRead(), 0);
}

void TstLinkRelay::modemResultTextEndsTheLink_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("lower case") << QByteArray("no carrier");
    QTest::newRow("mixed case among data") << QByteArray("\x01\xff"
                                                         "abc No CaRRier xyz");
    QTest::newRow("busy") << QByteArray("BuSy");
    QTest::newRow("no dialtone") << QByteArray("NO DIALTONE");
    QTest::newRow("no answer") << QByteArray("..no answer..");
}

void TstLinkRelay::modemResultTextEndsTheLink()
{
    QFETCH(QByteArray, block);
    QVERIFY(B->BeginRelay());
    B->Relay.SetModemLink(true);
    B->Host.Log.clear();

    QVERIFY(B->Pty.Write(block));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), int(block.size()));
    QCOMPARE(B->Relay.COMRead(), 0);

    QCOMPARE(B->Host.Command, TCommandState::Broken);
    QCOMPARE(B->Host.Status, QStringLiteral("Нет подключения"));
    QVERIFY(!B->Host.Alarm);
    QVERIFY(!B->Relay.Connected());
    QVERIFY(!B->Relay.PortOpen());
    QCOMPARE(B->Host.Log,
             (QStringList{QStringLiteral("Завершение работы по ошибке модема"),
                          QStringLiteral("Последний полученный пакет:"), Win1251ToString(block),
                          QStringLiteral("Установили \"Нет подключения\", "
                                         "процедура COMRead")}));
    // The hang-up: the three letters alone, no line end.
    QCOMPARE(B->Pty.ReadQuiet(300), QByteArray("ATH"));
}

void TstLinkRelay::resultTextSplitAcrossReadsIsData()
{
    QVERIFY(B->BeginRelay());
    B->Relay.SetModemLink(true);

    QVERIFY(B->Pty.Write("NO CAR"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 6);
    QCOMPARE(B->Relay.COMRead(), 6);
    QVERIFY(B->Pty.Write("RIER"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 4);
    QCOMPARE(B->Relay.COMRead(), 4);
    QCOMPARE(B->Relay.BufferToBytes(4), QByteArray("RIER"));
    QVERIFY(B->Relay.Connected());
    QCOMPARE(B->Host.Command, TCommandState::Connected);
    QVERIFY(B->Relay.PortOpen());
    QVERIFY(!B->Host.Log.contains(QStringLiteral("Завершение работы по ошибке модема")));
}

void TstLinkRelay::resultTextOnACableIsData()
{
    QVERIFY(B->BeginRelay());
    QTcpSocket client;
    QVERIFY(B->Connect(client));

    QVERIFY(B->Pty.Write("NO CARRIER"));
    QVERIFY(B->PassUntil([&] { return client.bytesAvailable() >= 10; }));
    QCOMPARE(client.readAll(), QByteArray("NO CARRIER"));
    QVERIFY(B->Relay.Connected());
    QCOMPARE(B->Host.Command, TCommandState::Connected);
    QVERIFY(B->Host.Log.contains(QStringLiteral("COM->TCP NO CARRIER")));
}

void TstLinkRelay::reopenTakesTheViewsSpeed_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("expected");
    QTest::newRow("9600") << 9600 << int(B9600);
    QTest::newRow("57600") << 57600 << int(B57600);
}

void TstLinkRelay::reopenTakesTheViewsSpeed()
{
    QFETCH(int, speed);
    QFETCH(int, expected);
    // Another speed first, so that the reopen must set it.
    termios t{};
    QCOMPARE(::tcgetattr(B->Pty.SlaveFd(), &t), 0);
    ::cfsetspeed(&t, B38400);
    QCOMPARE(::tcsetattr(B->Pty.SlaveFd(), TCSANOW, &t), 0);
    QVERIFY(B->OpenPort());
    B->State().FNeedCOMReconnect = true;
    B->Host.Speed = speed;
    const qsizetype logged = B->Host.Log.size();

    QVERIFY(B->Relay.ReopenLinkPort());
    QCOMPARE(B->Pty.SlaveSpeed(), expected);
    QVERIFY(!B->Relay.ReconnectPending());
    QVERIFY(B->Relay.PortOpen());
    QCOMPARE(B->Host.Log.size(), logged);
}

void TstLinkRelay::openOnAHeldPort()
{
    THandle other = INVALID_HANDLE_VALUE;
    QVERIFY(OpenCOMPort(B->Host.PortName, 19200, other));
    for (const bool flag : {false, true}) {
        B->State().FNeedCOMReconnect = flag;
        QVERIFY(B->Relay.OpenLinkPort() == INVALID_HANDLE_VALUE);
        QVERIFY(!B->Relay.PortOpen());
        QCOMPARE(B->Relay.ReconnectPending(), flag);
    }
    QVERIFY(B->Host.Log.contains(QStringLiteral("Ошибка открытия COM порта")));
    QVERIFY(!B->Host.Log.contains(QStringLiteral("COM порт успешно открыт")));

    QVERIFY(CloseCOMPort(other));
    QVERIFY(B->Relay.OpenLinkPort() != INVALID_HANDLE_VALUE);
    QVERIFY(B->Host.Log.contains(QStringLiteral("COM порт успешно открыт")));
}

void TstLinkRelay::blockAtTheEndOfTheLinkIsDropped()
{
    const QString lost = QStringLiteral("Соединение было прервано, последний пакет не доставлен");
    QVERIFY(B->BeginRelay());
    QTcpSocket client;
    QVERIFY(B->Connect(client));
    const auto endInTheNextDispatch = [this] {
        QMetaObject::invokeMethod(
            &B->Endpoint, [this] { B->Relay.SetConnected(false); }, Qt::QueuedConnection);
    };

    // A block from the client, as a read event leaves it, and the link ends in the next dispatch.
    B->State().FReadSocket = B->Relay.BytesToBuffer("late block");
    endInTheNextDispatch();
    B->Relay.Pass();
    QCOMPARE(B->Host.Log.count(lost), 1);
    QVERIFY(!B->Host.Log.contains(QStringLiteral("TCP->COM late block")));
    QCOMPARE(B->Pty.ReadQuiet(200, 500), QByteArray());

    // Device bytes read as the link ends reach no client.
    B->Relay.SetConnected(true);
    B->State().FReadSocket = 0;
    QVERIFY(B->Pty.Write("late reply"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 10);
    endInTheNextDispatch();
    B->Relay.Pass();
    QCOMPARE(B->Host.Log.count(lost), 2);
    QVERIFY(!B->Host.Log.contains(QStringLiteral("COM->TCP late reply")));
    QTest::qWait(200);
    QCOMPARE(client.bytesAvailable(), 0);
}

void TstLinkRelay::bufferBounds()
{
    const QByteArray big = PatternBytes(COM_BUFFER_SIZE + 100, 5);
    QCOMPARE(B->Relay.BytesToBuffer(big), COM_BUFFER_SIZE);
    QCOMPARE(B->Relay.BufferToBytes(COM_BUFFER_SIZE + 100), big.first(COM_BUFFER_SIZE));
    QCOMPARE(B->Relay.BufferToBytes(-1), QByteArray());
    QCOMPARE(B->Relay.BytesToBuffer(QByteArray("\0ab", 3)), 3);
    QCOMPARE(B->Relay.BufferToBytes(3), QByteArray("\0ab", 3));
}

QTEST_MAIN(TstLinkRelay)
#include "tst_link_relay.moc"
