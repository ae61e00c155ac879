// The main window's side of the TCP endpoint with real sockets on 127.0.0.1: the port rules of
// StartServer, a failed bind, which client gets device data, and heavy traffic relayed by the
// window's own passes over a pseudo-terminal line.

#include "support/LinkBench.h"

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "net/TServerSocket.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/MainFormAccess.h"

#include <QDeadlineTimer>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Runs passes until done() holds or the deadline passes; false on the deadline.
template <typename Done> bool PassUntil(TMainLindqvarForm &w, Done done, int timeoutMs = 60000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        State(w).RelayPass();
    }
    return true;
}

} // namespace

class TstWindowEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portTextRules_data();
    void portTextRules();
    void bindFailureOnAPortInUse();
    void oldestClientGetsDeviceDataUntilANewerOneLeaves();
    void stopServerKeepsTheConnectedFlag();
    void resetPeerLeavesTheList();
    void megabyteFromTheClientWhileTheDeviceTalks();
    void fiftyClientsAtOnce();
    void clientThatSendsAndLeaves();

private:
    std::unique_ptr<TLinkBench> B;
};

void TstWindowEndpoint::init()
{
    B = std::make_unique<TLinkBench>();
    QVERIFY(B->Start());
}

void TstWindowEndpoint::cleanup()
{
    B.reset();
}

void TstWindowEndpoint::portTextRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("not a number") << "abc" << 53462;
    QTest::newRow("empty") << "" << 53462;
    QTest::newRow("zero") << "0" << 53462;
    QTest::newRow("negative") << "-5" << 53462;
    QTest::newRow("below 1024") << "1023" << 53462;
    QTest::newRow("1024") << "1024" << 1024;
    QTest::newRow("60000") << "60000" << 60000;
    QTest::newRow("above 65535") << "70000" << 53462;
    QTest::newRow("2^32 + 2000") << "4294969296" << 53462;
}

void TstWindowEndpoint::portTextRules()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    TMainLindqvarForm &w = B->W();
    QLineEdit *edit = w.TCPServerSettingsForm->PortEdit;
    edit->setText(text);
    // The port may be taken on this machine; the rule is about the number, not the bind.
    try {
        w.StartServer();
    } catch (const std::exception &) {
    }
    QCOMPARE(w.ServerSocket->Port(), port);
    QCOMPARE(edit->text(), QString::number(port));
    if (w.ServerSocket->Active())
        QCOMPARE(w.ServerSocket->LocalPort(), port);
    w.StopServer();
    QVERIFY(!w.ServerSocket->Active());
}

void TstWindowEndpoint::bindFailureOnAPortInUse()
{
    TMainLindqvarForm &w = B->W();
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    const quint16 taken = other.serverPort();
    w.TCPServerSettingsForm->PortEdit->setText(QString::number(taken));
    const qsizetype before = B->F.Dialogs.Boxes.size();

    Guarded([&] { w.StartServer(); }); // the application's top-level handler

    QCOMPARE(B->F.Dialogs.Boxes.size(), before + 1);
    const QString expected = QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                                 .arg(QString::fromLocal8Bit(std::strerror(EADDRINUSE)))
                                 .arg(EADDRINUSE);
    QCOMPARE(B->F.Dialogs.Boxes.last().Text, expected);
    QCOMPARE(B->F.Dialogs.Boxes.last().Icon, TMsgIcon::Error);
    QVERIFY(!w.ServerSocket->Active());

    // Once the port is free the next start listens on it.
    other.close();
    w.StartServer();
    QVERIFY(w.ServerSocket->Active());
    QCOMPARE(w.ServerSocket->LocalPort(), int(taken));
    // Only this machine can reach the endpoint.
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    QCOMPARE(::getsockname(w.ServerSocket->SocketHandle(), reinterpret_cast<sockaddr *>(&bound),
                           &length),
             0);
    QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
}

void TstWindowEndpoint::oldestClientGetsDeviceDataUntilANewerOneLeaves()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    QTcpSocket older;
    older.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);
    QTcpSocket newer;
    newer.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 2);

    // Both clients reach the device.
    older.write("from the older ");
    QByteArray atDevice;
    QVERIFY(PassUntil(w, [&] {
        atDevice += B->Pty.Read(64, 0);
        return atDevice.size() >= 15;
    }));
    newer.write("from the newer");
    QVERIFY(PassUntil(w, [&] {
        atDevice += B->Pty.Read(64, 0);
        return atDevice.size() >= 29;
    }));
    QCOMPARE(atDevice, QByteArray("from the older from the newer"));

    // Device data go to the oldest connection only.
    QVERIFY(B->Pty.Write("reply one"));
    QVERIFY(PassUntil(w, [&] { return older.bytesAvailable() >= 9; }));
    QCOMPARE(older.readAll(), QByteArray("reply one"));
    for (int i = 0; i < 3; ++i)
        State(w).RelayPass();
    QCOMPARE(newer.bytesAvailable(), 0);

    // The newer client leaves: the flag clears and device data reach nobody, though the older
    // client is still there.
    newer.disconnectFromHost();
    QTRY_VERIFY(!State(w).FSetupConnected);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 1);
    QVERIFY(B->Pty.Write("reply two"));
    QVERIFY(PassUntil(w, [&] { return B->F.LogHas(QStringLiteral(": COM->TCP reply two")); }));
    for (int i = 0; i < 3; ++i)
        State(w).RelayPass();
    QCOMPARE(older.bytesAvailable(), 0);
    QCOMPARE(older.state(), QAbstractSocket::ConnectedState);

    // A new client makes the flag true again; the oldest listed connection gets the data.
    QTcpSocket third;
    third.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);
    QVERIFY(B->Pty.Write("reply three"));
    QVERIFY(PassUntil(w, [&] { return older.bytesAvailable() >= 11; }));
    QCOMPARE(older.readAll(), QByteArray("reply three"));
    QCOMPARE(third.bytesAvailable(), 0);
}

void TstWindowEndpoint::stopServerKeepsTheConnectedFlag()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);

    w.StopServer();
    QVERIFY(!w.ServerSocket->Active());
    QCOMPARE(w.ServerSocket->ActiveConnections(), 0);
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    // No disconnect event for a stopped endpoint's clients.
    QVERIFY(State(w).FSetupConnected);
    w.BytesToBuffer("lost");
    QVERIFY(!w.SendToClient(4));

    // A restart with a client listed closes it, again without the event.
    w.StartServer();
    QTcpSocket again;
    again.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 1);
    w.StartServer();
    QCOMPARE(w.ServerSocket->ActiveConnections(), 0);
    QTRY_COMPARE(again.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(State(w).FSetupConnected);
}

void TstWindowEndpoint::resetPeerLeavesTheList()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(B->Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    QTRY_VERIFY(State(w).FSetupConnected);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 1);

    const qsizetype boxes = B->F.Dialogs.Boxes.size();
    // Closing with a zero linger time resets the connection.
    const linger hard{1, 0};
    QCOMPARE(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    ::close(fd);

    QTRY_VERIFY(!State(w).FSetupConnected);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 0);
    QCOMPARE(B->F.Dialogs.Boxes.size(), boxes); // the error is not shown
    // Device data read now reach no dead connection, and the link goes on.
    QVERIFY(B->Pty.Write("after the reset"));
    QVERIFY(
        PassUntil(w, [&] { return B->F.LogHas(QStringLiteral(": COM->TCP after the reset")); }));
    QVERIFY(State(w).FConnected);
    QVERIFY(w.ServerSocket->Active());
}

void TstWindowEndpoint::megabyteFromTheClientWhileTheDeviceTalks()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    // The log stays hidden: a megabyte of log lines would only slow the passes down.
    B->F.Windows->LOGForm->hide();
    const QByteArray upstream = PatternBytes(1024 * 1024, 1);
    const QByteArray downstream = PatternBytes(96 * 1024, 2);

    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QVERIFY(client.waitForConnected(10000));
    QTRY_VERIFY(State(w).FSetupConnected);
    // The whole megabyte is in the window's socket before the window looks at it.
    client.write(upstream);
    while (client.bytesToWrite() > 0)
        QVERIFY(client.waitForBytesWritten(10000));

    // One read event takes a full buffer and leaves the rest in the socket.
    QTRY_VERIFY(State(w).FReadSocket > 0);
    QCOMPARE(State(w).FReadSocket, COM_BUFFER_SIZE);
    QVERIFY(w.ServerSocket->Connections(0)->ReceiveLength() > 0);
    // While that block waits for the serial line, further dispatches read nothing over it.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(State(w).FReadSocket, COM_BUFFER_SIZE);
    QCOMPARE(w.BufferToBytes(COM_BUFFER_SIZE), upstream.first(COM_BUFFER_SIZE));

    // Both directions at once: the device sends while the window relays the megabyte.
    TLineDevice device(B->Pty.MasterFd(), downstream, upstream.size());
    QByteArray atClient;
    int maxBlock = 0;
    const bool done = PassUntil(
        w,
        [&] {
            maxBlock = std::max(maxBlock, int(State(w).FReadSocket));
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
        State(w).RelayPass();
    atClient += client.readAll();
    QCOMPARE(atClient.size(), downstream.size());
    QVERIFY(atClient == downstream);
    QCOMPARE(w.ServerSocket->Connections(0)->PendingSendLength(), 0);
    QVERIFY(!State(w).FNeedCOMReconnect);
}

void TstWindowEndpoint::fiftyClientsAtOnce()
{
    constexpr int Clients = 50;
    constexpr int Each = 1000;
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    B->F.Windows->LOGForm->hide();

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    // Fifty connections at the same time. They are made five at a time, the listen backlog:
    // beyond it the kernel drops handshakes and a client may wait tens of seconds for its
    // retransmission to be accepted, which is no behaviour of the window's.
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QStringLiteral("127.0.0.1"), B->Port);
        if (i % 5 == 4 || i == 0)
            QTRY_COMPARE_WITH_TIMEOUT(w.ServerSocket->ActiveConnections(), i + 1, 30000);
    }
    QVERIFY(State(w).FSetupConnected);
    // All of them send at once.
    for (int i = 0; i < Clients; ++i)
        clients[size_t(i)]->write(QByteArray(Each, char(i)));

    // Every client's bytes reach the device, whole blocks at a time.
    QByteArray atDevice;
    QVERIFY(PassUntil(w, [&] {
        atDevice += B->Pty.Read(Clients * Each, 0);
        return atDevice.size() >= Clients * Each;
    }));
    for (int i = 0; i < Clients; ++i)
        QCOMPARE(atDevice.count(char(i)), Each);
    QCOMPARE(w.ServerSocket->ActiveConnections(), Clients);
    QVERIFY(State(w).FSetupConnected);

    // Device data reach the oldest client only.
    QVERIFY(B->Pty.Write("for the first"));
    QVERIFY(PassUntil(w, [&] { return clients[0]->bytesAvailable() >= 13; }));
    QCOMPARE(clients[0]->readAll(), QByteArray("for the first"));
    for (int i = 1; i < Clients; ++i)
        QCOMPARE(clients[size_t(i)]->bytesAvailable(), 0);

    for (auto &client : clients)
        client->abort();
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 0);
    QVERIFY(!State(w).FSetupConnected);
    QVERIFY(w.ServerSocket->Active());
}

void TstWindowEndpoint::clientThatSendsAndLeaves()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    B->F.Windows->LOGForm->hide();
    const QByteArray upstream = PatternBytes(100 * 1024, 3);
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QVERIFY(client.waitForConnected(10000));
    // Accepted first: a connection that is closed already when it is accepted has no owner
    // left to check and is refused.
    QVERIFY(PassUntil(w, [&] { return w.ServerSocket->ActiveConnections() == 1; }));
    client.write(upstream);
    client.disconnectFromHost(); // after the last byte has gone
    QVERIFY(client.state() == QAbstractSocket::UnconnectedState ||
            client.waitForDisconnected(10000));

    // Everything it sent still reaches the device; its leave is noticed after its last block.
    TLineDevice device(B->Pty.MasterFd(), QByteArray(), upstream.size());
    QVERIFY(PassUntil(w, [&] { return device.Finished(); }));
    device.Stop();
    QVERIFY(device.Received() == upstream);
    QTRY_VERIFY(!State(w).FSetupConnected);
    QTRY_COMPARE(w.ServerSocket->ActiveConnections(), 0);
    QCOMPARE(State(w).FReadSocket, 0);
}

QTEST_MAIN(TstWindowEndpoint)
#include "tst_window_endpoint.moc"
