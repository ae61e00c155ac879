// Listening, accepting and closing of the TCP endpoint, with real sockets on 127.0.0.1.
#include "TestClient.h"

#include "endpoint/PeerOwner.h"
#include "support/ForeignClient.h"

#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A socket listening on a free port of 127.0.0.1, to make that port busy.
struct PortHolder {
    int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    PortHolder()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(handle, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
            ::listen(handle, 1) == 0 &&
            ::getsockname(handle, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~PortHolder() { ::close(handle); }
};

QString RaisedText(const std::function<void()> &action)
{
    try {
        action();
    } catch (const std::runtime_error &error) {
        return QString::fromUtf8(error.what());
    }
    return QString();
}

} // namespace

class TstServerSocketLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void listensOnLoopbackOnly();
    void bindFailureLeavesEndpointStopped();
    void portRules();
    void restartsOnPortOfServedConnection();
    void acceptsClientsInOrder();
    void clientsOfOtherUsersAreRefused();
    void peerOwnerIsFoundBothWays();
    void newerClientDisconnectFiresItsEvent();
    void disconnectClientsKeepsListening();
    void deactivationClosesEverythingSilently();
    void handlerMayCloseItsOwnConnection();
};

void TstServerSocketLifecycle::listensOnLoopbackOnly()
{
    TServerSocket server;
    QVERIFY(!server.Active());
    QCOMPARE(server.SocketHandle(), -1);
    const int port = StartOnFreePort(server);
    QVERIFY(server.Active());
    QVERIFY(port > 0);

    sockaddr_in address{};
    socklen_t length = sizeof address;
    QCOMPARE(::getsockname(server.SocketHandle(), reinterpret_cast<sockaddr *>(&address), &length),
             0);
    QCOMPARE(address.sin_family, AF_INET);
    QCOMPARE(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
    int reuse = 0;
    length = sizeof reuse;
    QCOMPARE(::getsockopt(server.SocketHandle(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
    QVERIFY(reuse != 0);
    // Started programs must not inherit the listener.
    QVERIFY(::fcntl(server.SocketHandle(), F_GETFD) & FD_CLOEXEC);
}

void TstServerSocketLifecycle::bindFailureLeavesEndpointStopped()
{
    PortHolder holder;
    QVERIFY(holder.port > 0);
    TServerSocket server;
    server.SetPort(holder.port);
    QCOMPARE(RaisedText([&] { server.SetActive(true); }),
             QStringLiteral("Windows socket error: Address already in use (98), on API 'bind'"));
    QVERIFY(!server.Active());
    QCOMPARE(server.SocketHandle(), -1);
    // The port can be changed again and a start on a free port works.
    StartOnFreePort(server);
    QVERIFY(server.Active());
}

void TstServerSocketLifecycle::portRules()
{
    TServerSocket server;
    QVERIFY(!RaisedText([&] { server.SetPort(65536); }).isEmpty());
    QVERIFY(!RaisedText([&] { server.SetPort(-1); }).isEmpty());
    QCOMPARE(server.Port(), 0);
    server.SetPort(65535);
    QCOMPARE(server.Port(), 65535);

    StartOnFreePort(server);
    QCOMPARE(RaisedText([&] { server.SetPort(1024); }),
             QStringLiteral("Can't change value while socket is active"));
    QCOMPARE(server.Port(), 0);
    server.SetActive(false);
    server.SetPort(1024);
    QCOMPARE(server.Port(), 1024);
}

void TstServerSocketLifecycle::restartsOnPortOfServedConnection()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    {
        TestClient client(port);
        QVERIFY(client.IsConnected());
        QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
        // The endpoint closes first, which leaves its side of the connection in TIME_WAIT.
        server.SetActive(false);
        QVERIFY(client.WaitForEof());
    }
    server.SetPort(port);
    server.SetActive(true);
    QVERIFY(server.Active());
    TestClient again(port);
    QVERIFY(again.IsConnected());
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
}

void TstServerSocketLifecycle::acceptsClientsInOrder()
{
    TServerSocket server;
    EventRecorder recorder(server);
    QList<int> listedAtConnect;
    server.OnClientConnect = [&](TServerSocket *sender, TCustomWinSocket *socket) {
        // The connection is already listed, as the newest one, when the event fires.
        QCOMPARE(sender, &server);
        listedAtConnect << sender->ActiveConnections();
        QCOMPARE(sender->Connections(sender->ActiveConnections() - 1), socket);
        QVERIFY(socket->Connected());
        QVERIFY(::fcntl(socket->SocketHandle(), F_GETFD) & FD_CLOEXEC);
        QVERIFY(::fcntl(socket->SocketHandle(), F_GETFL) & O_NONBLOCK);
    };
    const int port = StartOnFreePort(server);
    TestClient first(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TestClient second(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);
    QCOMPARE(listedAtConnect, QList<int>({1, 2}));

    // The oldest connection is index 0: what it is sent reaches the first client.
    QCOMPARE(server.Connections(0)->SendBuf("old", 3), 3);
    QCOMPARE(server.Connections(1)->SendBuf("new", 3), 3);
    QCOMPARE(first.ReadExactly(3), QByteArray("old"));
    QCOMPARE(second.ReadExactly(3), QByteArray("new"));
    QCOMPARE(server.Connections(2), nullptr);
    QCOMPARE(server.Connections(-1), nullptr);
}

void TstServerSocketLifecycle::clientsOfOtherUsersAreRefused()
{
    if (!TForeignClient::CanRun())
        QSKIP("acting as another local user needs root (CI runs as root)");
    TServerSocket server;
    EventRecorder recorder(server);
    QList<int> refused;
    server.OnClientRefused = [&](TServerSocket *, int uid) { refused << uid; };
    bool read = false;
    recorder.ReadHandler = [&](TCustomWinSocket *) { read = true; };
    const int port = StartOnFreePort(server);

    // Closed at once, nothing read, nothing listed, no connect event.
    TForeignClient stranger(quint16(port), "a line from another user\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(refused, QList<int>{int(TForeignClient::Uid)}, 30000);
    QVERIFY(stranger.WasClosedByTheServer());
    QCOMPARE(server.ActiveConnections(), 0);
    QVERIFY(recorder.Events.isEmpty());
    QVERIFY(!read);

    // The user's own programs are accepted as before.
    TestClient own(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    QCOMPARE(recorder.Events, QStringList{"connect 0"});
    QCOMPARE(refused.size(), 1);
}

void TstServerSocketLifecycle::peerOwnerIsFoundBothWays()
{
    // The kernel's socket table is asked through sock_diag, and through /proc/net/tcp where
    // that is not available: both must name the same owner.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::listen(listener, 5) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const quint16 port = ntohs(address.sin_port);
    const auto ownerOfNext = [&](std::optional<uid_t> expected) {
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const std::optional<uid_t> byDiag = PeerOwnerBySockDiag(accepted);
        const std::optional<uid_t> byTable = PeerOwnerByProcTable(accepted);
        ::close(accepted);
        return byDiag == expected && byTable == expected;
    };
    {
        TestClient own(port);
        QVERIFY(own.IsConnected());
        QVERIFY(ownerOfNext(::geteuid()));
    }
    {
        // A program that sent and closed before we accepted no longer holds its socket: the
        // kernel lists it as root's, so nobody can be named, whoever we run as.
        TestClient gone(port);
        QVERIFY(gone.Write("x"));
        gone.Close();
        QVERIFY(ownerOfNext(std::nullopt));
    }
    if (TForeignClient::CanRun()) {
        TForeignClient stranger(port, "x");
        QVERIFY(ownerOfNext(TForeignClient::Uid));
        QVERIFY(stranger.WasClosedByTheServer());
    }
    ::close(listener);
}

void TstServerSocketLifecycle::newerClientDisconnectFiresItsEvent()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient first(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TestClient second(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);
    TCustomWinSocket *older = server.Connections(0);

    second.Close();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Events.size(), 3, 30000);
    QCOMPARE(recorder.Events, QStringList({"connect 0", "connect 1", "disconnect 1"}));
    // The closed connection leaves the list; the older one stays and still works.
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    QCOMPARE(server.Connections(0), older);
    QVERIFY(older->Connected());
    QCOMPARE(older->SendBuf("x", 1), 1);
    QCOMPARE(first.ReadExactly(1), QByteArray("x"));
}

void TstServerSocketLifecycle::disconnectClientsKeepsListening()
{
    TServerSocket server;
    EventRecorder recorder(server);
    server.DisconnectClients(); // nothing to do without clients
    const int port = StartOnFreePort(server);
    TestClient first(port);
    TestClient second(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);

    server.DisconnectClients();
    QCOMPARE(server.ActiveConnections(), 0);
    QVERIFY(first.WaitForEof());
    QVERIFY(second.WaitForEof());
    QVERIFY(server.Active());
    QCOMPARE(recorder.Events, QStringList({"connect 0", "connect 1"}));

    TestClient third(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    QCOMPARE(recorder.Events.last(), QStringLiteral("connect 2"));
}

void TstServerSocketLifecycle::deactivationClosesEverythingSilently()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient client(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TCustomWinSocket *socket = server.Connections(0);
    QCOMPARE(socket->SendBuf("queued", 6), 6);

    server.SetActive(false);
    QVERIFY(!server.Active());
    QCOMPARE(server.ActiveConnections(), 0);
    QCOMPARE(server.SocketHandle(), -1);
    QVERIFY(client.WaitForEof());
    QCOMPARE(recorder.Events, QStringList({"connect 0"}));
    // Nobody listens any more.
    TestClient refused(port);
    QVERIFY(!refused.IsConnected());
    server.SetActive(false); // stopping a stopped endpoint does nothing
}

void TstServerSocketLifecycle::handlerMayCloseItsOwnConnection()
{
    // A handler that drops the clients and then dispatches events (as a message box would)
    // must leave the endpoint usable: no further events for the dropped connection.
    TServerSocket server;
    EventRecorder recorder(server);
    bool closedSeen = false;
    recorder.ReadHandler = [&](TCustomWinSocket *socket) {
        server.DisconnectClients();
        QTest::qWait(50);
        closedSeen =
            !socket->Connected() && socket->ReceiveLength() == 0 && socket->SendBuf("x", 1) == 0;
    };
    const int port = StartOnFreePort(server);
    TestClient client(port);
    QVERIFY(client.Write("hello"));
    QTRY_VERIFY_WITH_TIMEOUT(closedSeen, 30000);
    QVERIFY(client.WaitForEof());
    QCOMPARE(recorder.ReadEvents, 1);
    QCOMPARE(recorder.Events, QStringList({"connect 0"}));

    TestClient next(port);
    QVERIFY(next.Write("again"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.ReadEvents, 2, 30000);
}

QTEST_GUILESS_MAIN(TstServerSocketLifecycle)
#include "tst_serversocket_lifecycle.moc"
