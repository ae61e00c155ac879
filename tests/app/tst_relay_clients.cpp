// The relay's side of the TCP endpoint with real clients on 127.0.0.1: which client gets device
// data, the deferral of client reads while the buffer holds a block, and heavy traffic both ways
// over a pseudo-terminal line.

#include "support/PatternBytes.h"
#include "support/RelayBench.h"

#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

class TstRelayClients : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oldestClientGetsDeviceDataUntilANewerOneLeaves();
    void megabyteFromTheClientWhileTheDeviceTalks();
    void fiftyClientsAtOnce();
    void clientThatSendsAndLeaves();

private:
    // Passes until the device has received this many bytes or the time is up; what it received
    // (a shortfall shows in the caller's comparison).
    QByteArray PassUntilAtDevice(qsizetype size);

    std::unique_ptr<TRelayBench> B;
};

void TstRelayClients::init()
{
    B = std::make_unique<TRelayBench>();
    QVERIFY(B->Start());
    QVERIFY(B->BeginRelay());
}

void TstRelayClients::cleanup()
{
    B.reset();
}

QByteArray TstRelayClients::PassUntilAtDevice(qsizetype size)
{
    QByteArray atDevice;
    (void)B->PassUntil([&] {
        atDevice += B->Pty.Read(int(size - atDevice.size()), 0);
        return atDevice.size() >= size;
    });
    return atDevice;
}

void TstRelayClients::oldestClientGetsDeviceDataUntilANewerOneLeaves()
{
    QTcpSocket older;
    QVERIFY(B->Connect(older));
    QTcpSocket newer;
    QVERIFY(B->Connect(newer));

    // Both clients reach the device.
    older.write("from the older ");
    QCOMPARE(PassUntilAtDevice(15), QByteArray("from the older "));
    newer.write("from the newer");
    QCOMPARE(PassUntilAtDevice(14), QByteArray("from the newer"));

    // Device data go to the oldest connection only.
    QVERIFY(B->Pty.Write("reply one"));
    QVERIFY(B->PassUntil([&] { return older.bytesAvailable() >= 9; }));
    QCOMPARE(older.readAll(), QByteArray("reply one"));
    for (int i = 0; i < 3; ++i)
        B->Relay.Pass();
    QCOMPARE(newer.bytesAvailable(), 0);

    // The newer client leaves: the flag clears and device data reach nobody, though the older
    // client is still there, and the link goes on.
    newer.disconnectFromHost();
    QTRY_VERIFY(!B->Relay.SetupConnected());
    QTRY_COMPARE(B->Endpoint.ActiveConnections(), 1);
    QVERIFY(B->Pty.Write("reply two"));
    QVERIFY(
        B->PassUntil([&] { return B->Host.Log.contains(QStringLiteral("COM->TCP reply two")); }));
    for (int i = 0; i < 3; ++i)
        B->Relay.Pass();
    QCOMPARE(older.bytesAvailable(), 0);
    QCOMPARE(older.state(), QAbstractSocket::ConnectedState);
    QVERIFY(B->Relay.Connected());

    // A new client makes the flag true again; the oldest listed connection gets the data.
    QTcpSocket third;
    QVERIFY(B->Connect(third));
    QVERIFY(B->Pty.Write("reply three"));
    QVERIFY(B->PassUntil([&] { return older.bytesAvailable() >= 11; }));
    QCOMPARE(older.readAll(), QByteArray("reply three"));
    QCOMPARE(third.bytesAvailable(), 0);
}

void TstRelayClients::megabyteFromTheClientWhileTheDeviceTalks()
{
    const QByteArray upstream = PatternBytes(1024 * 1024, 1);
    const QByteArray downstream = PatternBytes(96 * 1024, 2);
    QTcpSocket client;
    QVERIFY(B->Connect(client));
    // The whole megabyte is in the relay's socket before the relay looks at it.
    client.write(upstream);
    while (client.bytesToWrite() > 0)
        QVERIFY(client.waitForBytesWritten(10000));

    // One read event takes a full buffer and leaves the rest in the socket.
    QTRY_VERIFY(B->State().FReadSocket > 0);
    QCOMPARE(B->State().FReadSocket, COM_BUFFER_SIZE);
    QVERIFY(B->Endpoint.Connections(0)->ReceiveLength() > 0);
    // While that block waits for the serial line, further dispatches read nothing over it.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(B->State().FReadSocket, COM_BUFFER_SIZE);
    QCOMPARE(B->Relay.BufferToBytes(COM_BUFFER_SIZE), upstream.first(COM_BUFFER_SIZE));

    // Both directions at once: the device sends while the relay carries the megabyte.
    TLineDevice device(B->Pty.MasterFd(), downstream, upstream.size());
    QByteArray atClient;
    int maxBlock = 0;
    const bool done = B->PassUntil(
        [&] {
            maxBlock = std::max(maxBlock, int(B->State().FReadSocket));
            atClient += client.readAll();
            return device.Finished() && atClient.size() >= downstream.size();
        },
        180000);
    device.Stop();
    QVERIFY2(done, qPrintable(QStringLiteral("device got %1 of %2, client got %3 of %4")
                                  .arg(device.Received().size())
                                  .arg(upstream.size())
                                  .arg(atClient.size())
                                  .arg(downstream.size())));
    QVERIFY(maxBlock <= COM_BUFFER_SIZE);
    QCOMPARE(device.Received().size(), upstream.size());
    QVERIFY(device.Received() == upstream);
    // Nothing more was on its way to the client.
    for (int i = 0; i < 3; ++i)
        B->Relay.Pass();
    atClient += client.readAll();
    QCOMPARE(atClient.size(), downstream.size());
    QVERIFY(atClient == downstream);
    QCOMPARE(B->Endpoint.Connections(0)->PendingSendLength(), 0);
    QVERIFY(!B->Relay.ReconnectPending());
}

void TstRelayClients::fiftyClientsAtOnce()
{
    constexpr int Clients = 50;
    constexpr int Each = 1000;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    // Fifty connections at the same time. They are made five at a time, the listen backlog:
    // beyond it the kernel drops handshakes and a client may wait tens of seconds for its
    // retransmission to be accepted, which is no behaviour of the relay's.
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QStringLiteral("127.0.0.1"), B->Port);
        if (i % 5 == 4 || i == 0)
            QTRY_COMPARE_WITH_TIMEOUT(B->Endpoint.ActiveConnections(), i + 1, 30000);
    }
    QVERIFY(B->Relay.SetupConnected());
    // All of them send at once.
    for (int i = 0; i < Clients; ++i)
        clients[size_t(i)]->write(QByteArray(Each, char(i)));

    // Every client's bytes reach the device, whole blocks at a time.
    const QByteArray atDevice = PassUntilAtDevice(Clients * Each);
    for (int i = 0; i < Clients; ++i)
        QCOMPARE(atDevice.count(char(i)), Each);
    QCOMPARE(B->Endpoint.ActiveConnections(), Clients);
    QVERIFY(B->Relay.SetupConnected());

    // Device data reach the oldest client only.
    QVERIFY(B->Pty.Write("for the first"));
    QVERIFY(B->PassUntil([&] { return clients[0]->bytesAvailable() >= 13; }));
    QCOMPARE(clients[0]->readAll(), QByteArray("for the first"));
    for (int i = 1; i < Clients; ++i)
        QCOMPARE(clients[size_t(i)]->bytesAvailable(), 0);

    for (auto &client : clients)
        client->abort();
    QTRY_COMPARE(B->Endpoint.ActiveConnections(), 0);
    QVERIFY(!B->Relay.SetupConnected());
    QVERIFY(B->Endpoint.Active());
}

void TstRelayClients::clientThatSendsAndLeaves()
{
    const QByteArray upstream = PatternBytes(100 * 1024, 3);
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QVERIFY(client.waitForConnected(10000));
    // Accepted first: a connection that is closed already when it is accepted has no owner
    // left to check and is refused.
    QVERIFY(B->PassUntil([&] { return B->Endpoint.ActiveConnections() == 1; }));
    client.write(upstream);
    client.disconnectFromHost(); // after the last byte has gone
    QVERIFY(client.state() == QAbstractSocket::UnconnectedState ||
            client.waitForDisconnected(10000));

    // Everything it sent still reaches the device; its leave is noticed after its last block.
    TLineDevice device(B->Pty.MasterFd(), QByteArray(), upstream.size());
    QVERIFY(B->PassUntil([&] { return device.Finished(); }));
    device.Stop();
    QVERIFY(device.Received() == upstream);
    QTRY_VERIFY(!B->Relay.SetupConnected());
    QTRY_COMPARE(B->Endpoint.ActiveConnections(), 0);
    QCOMPARE(B->State().FReadSocket, 0);
}

QTEST_MAIN(TstRelayClients)
#include "tst_relay_clients.moc"
