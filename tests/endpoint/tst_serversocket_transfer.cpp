// Data in both directions and connection failures of the TCP endpoint, with real sockets on
// 127.0.0.1 and the real event loop.
#include "TestClient.h"

#include "support/PatternBytes.h"

#include <QtTest>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace
{

// Errors raised while the event loop delivers a notification end up here, as they do in the
// program's top-level handler.
QStringList gRaised;

class CatchingApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception &error) {
            gRaised << QString::fromUtf8(error.what());
            return true;
        }
    }
};

// Waits, without dispatching events, until the kernel has seen the peer's reset.
bool WaitForSocketError(int handle)
{
    pollfd pfd{handle, POLLIN, 0};
    return ::poll(&pfd, 1, 30000) == 1 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

} // namespace

class TstServerSocketTransfer : public QObject
{
    Q_OBJECT

private slots:
    void init() { gRaised.clear(); }
    void bytesFromEitherClientAreRead();
    void largeInputArrivesInBoundedReads();
    void dataBeforeCloseIsDeliveredFirst();
    void suspendedReadsHoldDataUntilResumed();
    void busyClientDoesNotStarveTheOthers();
    void slowReaderGetsEverySentByteInOrder();
    void readerThatNeverReadsFailsAtTheQueueLimit();
    void peerResetIsErrorThenDisconnect();
    void peerResetWithCodeLeftRaises();
    void sendToBrokenConnection();
};

void TstServerSocketTransfer::bytesFromEitherClientAreRead()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient first(port);
    TestClient second(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);
    QVERIFY(second.Write("from second"));
    QVERIFY(first.Write("from first"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Received[0], QByteArray("from first"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Received[1], QByteArray("from second"), 30000);
}

void TstServerSocketTransfer::largeInputArrivesInBoundedReads()
{
    // 1 MiB at once: every read takes at most what the handler asks for, the rest waits in the
    // socket and causes further read events until nothing is left.
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient client(port);
    const QByteArray sent = PatternBytes(1024 * 1024);
    QVERIFY(client.Write(sent));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Received[0].size(), sent.size(), 60000);
    QVERIFY(recorder.Received[0] == sent);
    QVERIFY(recorder.ReadEvents >= sent.size() / 32768);
    QVERIFY(recorder.LargestRead <= 32768);
    QVERIFY(server.Connections(0)->Connected());
    QCOMPARE(server.Connections(0)->ReceiveLength(), 0);
}

void TstServerSocketTransfer::dataBeforeCloseIsDeliveredFirst()
{
    TServerSocket server;
    EventRecorder recorder(server);
    QByteArray atDisconnect;
    server.OnClientDisconnect = [&](TServerSocket *, TCustomWinSocket *socket) {
        recorder.Events << QStringLiteral("disconnect");
        atDisconnect = recorder.Received[0];
        // Still open while the event runs; nothing is left to read.
        QVERIFY(socket->Connected());
        char byte;
        QCOMPARE(socket->ReceiveBuf(&byte, 1), 0);
    };
    const int port = StartOnFreePort(server);
    const QByteArray sent = PatternBytes(100000, 3);
    {
        // Accepted first: a connection already closed when it is accepted has no owner to check.
        TestClient client(port);
        QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
        QVERIFY(client.Write(sent));
    }
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Events.size(), 2, 30000);
    QCOMPARE(recorder.Events, QStringList({"connect 0", "disconnect"}));
    QVERIFY(atDisconnect == sent);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 0, 30000);
}

void TstServerSocketTransfer::suspendedReadsHoldDataUntilResumed()
{
    // The reader holds one block at a time, as the main window does with its transfer buffer:
    // a read event that arrives while a block is held suspends reads instead of reading.
    TServerSocket server;
    EventRecorder recorder(server);
    QByteArray delivered;
    QByteArray held;
    int deferred = 0;
    recorder.ReadHandler = [&](TCustomWinSocket *socket) {
        if (!held.isEmpty()) {
            ++deferred;
            server.SuspendReads();
            return;
        }
        char buffer[32768];
        const int got = socket->ReceiveBuf(buffer, std::min(socket->ReceiveLength(), 32768));
        if (got > 0)
            held = QByteArray(buffer, got);
    };
    auto deliver = [&] {
        delivered += held;
        held.clear();
        server.ResumeReads();
    };
    const int port = StartOnFreePort(server);
    TestClient client(port);
    const QByteArray sent = PatternBytes(100000, 5);
    QVERIFY(client.Write(sent));

    QTRY_VERIFY_WITH_TIMEOUT(deferred > 0, 30000);
    QVERIFY(server.ReadsSuspended());
    const int eventsWhileHeld = recorder.ReadEvents;
    QTest::qWait(200);
    QCOMPARE(recorder.ReadEvents, eventsWhileHeld);
    QVERIFY(server.Connections(0)->ReceiveLength() > 0);

    while (delivered.size() + held.size() < sent.size()) {
        const int before = recorder.ReadEvents;
        deliver();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.ReadEvents > before, 30000);
    }
    deliver();
    QVERIFY(delivered == sent);
}

void TstServerSocketTransfer::busyClientDoesNotStarveTheOthers()
{
    // As the main window reads: one block held at a time, reads resumed once it is delivered.
    // One client sends without a pause, so its socket always has data when reads resume.
    TServerSocket server;
    EventRecorder recorder(server);
    QList<int> servedFrom;
    QByteArray fromQuiet;
    bool held = false;
    recorder.ReadHandler = [&](TCustomWinSocket *socket) {
        if (held) {
            server.SuspendReads();
            return;
        }
        char buffer[4096];
        const int got = socket->ReceiveBuf(buffer, std::min(socket->ReceiveLength(), 4096));
        if (got <= 0)
            return;
        held = true;
        const int index = recorder.IndexOf(socket);
        servedFrom << index;
        if (index == 1)
            fromQuiet += QByteArray(buffer, got);
    };
    const int port = StartOnFreePort(server);
    TestClient busy(port);
    TestClient quiet(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const QByteArray chunk = PatternBytes(65536, 3);
        while (!stop) {
            pollfd pfd{busy.Handle(), POLLOUT, 0};
            if (::poll(&pfd, 1, 50) == 1)
                ::send(busy.Handle(), chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
        }
    });
    QTRY_VERIFY_WITH_TIMEOUT(held, 30000);
    QVERIFY(quiet.Write("hello"));
    QTest::qWait(100);

    for (int round = 0; round < 20 && fromQuiet.size() < 5; ++round) {
        const int before = recorder.ReadEvents;
        held = false;
        server.ResumeReads();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.ReadEvents > before && held, 30000);
    }
    stop = true;
    sender.join();
    QCOMPARE(fromQuiet, QByteArray("hello"));
    QVERIFY(servedFrom.contains(0));
}

void TstServerSocketTransfer::slowReaderGetsEverySentByteInOrder()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient client(port, 4096);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TCustomWinSocket *socket = server.Connections(0);

    const int chunk = 128 * 1024;
    QByteArray sent;
    for (int i = 0; i < 24; ++i) {
        const QByteArray block = PatternBytes(chunk, i);
        QCOMPARE(socket->SendBuf(block.constData(), chunk), chunk);
        sent += block;
    }
    // The client has read nothing, so most of the 3 MiB (within the queue's limit) must be
    // waiting in the endpoint.
    QVERIFY(socket->PendingSendLength() > 0);

    QByteArray received;
    QDeadlineTimer deadline(120000);
    while (received.size() < sent.size() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        received += client.ReadNow(16384);
    }
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
    QCOMPARE(socket->PendingSendLength(), 0);
    QCOMPARE(recorder.Events, QStringList({"connect 0"}));
}

void TstServerSocketTransfer::readerThatNeverReadsFailsAtTheQueueLimit()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient client(port, 4096);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TCustomWinSocket *socket = server.Connections(0);

    const int chunk = 128 * 1024;
    const QByteArray block = PatternBytes(chunk);
    qsizetype accepted = 0;
    int result = chunk;
    for (int i = 0; i < 200 && result == chunk; ++i) {
        result = socket->SendBuf(block.constData(), chunk);
        if (result == chunk)
            accepted += chunk;
    }
    // Every block was taken whole until the limit, and then the client failed: never a silent
    // drop.
    QCOMPARE(result, -1);
    QVERIFY(accepted >= TCustomWinSocket::SendQueueLimit);
    QVERIFY(!socket->Connected());
    QCOMPARE(recorder.Events,
             QStringList({"connect 0", QStringLiteral("error 0 %1 %2").arg(eeSend).arg(ENOBUFS),
                          "disconnect 0"}));
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 0, 30000);
    QVERIFY(client.WaitForEof());
}

void TstServerSocketTransfer::peerResetIsErrorThenDisconnect()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);
    TestClient older(port);
    TestClient client(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 2, 30000);

    client.Reset();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Events.size(), 4, 30000);
    QCOMPARE(recorder.Events,
             QStringList({"connect 0", "connect 1",
                          QStringLiteral("error 1 %1 %2").arg(eeDisconnect).arg(ECONNRESET),
                          "disconnect 1"}));
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    QVERIFY(server.Connections(0)->Connected());
    QVERIFY(gRaised.isEmpty());
}

void TstServerSocketTransfer::peerResetWithCodeLeftRaises()
{
    TServerSocket server;
    EventRecorder recorder(server);
    recorder.ErrorCodeLeft = ECONNRESET;
    const int port = StartOnFreePort(server);
    TestClient client(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    client.Reset();
    QTRY_COMPARE_WITH_TIMEOUT(gRaised.size(), 1, 30000);
    QCOMPARE(gRaised.first(), QStringLiteral("Asynchronous socket error %1").arg(ECONNRESET));
    // The error is raised only after the connection has been dropped.
    QCOMPARE(recorder.Events.last(), QStringLiteral("disconnect 0"));
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 0, 30000);
}

void TstServerSocketTransfer::sendToBrokenConnection()
{
    TServerSocket server;
    EventRecorder recorder(server);
    const int port = StartOnFreePort(server);

    // The error handler clears the code: the send fails quietly and the connection is dropped.
    TestClient first(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    TCustomWinSocket *socket = server.Connections(0);
    first.Reset();
    QVERIFY(WaitForSocketError(socket->SocketHandle()));
    QCOMPARE(socket->SendBuf("data", 4), -1);
    QVERIFY(!socket->Connected());
    QCOMPARE(recorder.Events.size(), 3);
    QVERIFY(recorder.Events[1].startsWith(QStringLiteral("error 0 %1 ").arg(eeSend)));
    QCOMPARE(recorder.Events[2], QStringLiteral("disconnect 0"));
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 0, 30000);

    // A code left by the handler is raised from the send, after the disconnect.
    recorder.ErrorCodeLeft = EPIPE;
    TestClient second(port);
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 1, 30000);
    socket = server.Connections(0);
    second.Reset();
    QVERIFY(WaitForSocketError(socket->SocketHandle()));
    QString raised;
    try {
        socket->SendBuf("data", 4);
    } catch (const std::runtime_error &error) {
        raised = QString::fromUtf8(error.what());
    }
    QCOMPARE(raised, QStringLiteral("Windows socket error: %1 (%2), on API 'send'")
                         .arg(QString::fromLocal8Bit(std::strerror(EPIPE)))
                         .arg(EPIPE));
    QCOMPARE(recorder.Events.last(), QStringLiteral("disconnect 1"));
    QTRY_COMPARE_WITH_TIMEOUT(server.ActiveConnections(), 0, 30000);
}

int main(int argc, char **argv)
{
    CatchingApplication app(argc, argv);
    TstServerSocketTransfer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serversocket_transfer.moc"
