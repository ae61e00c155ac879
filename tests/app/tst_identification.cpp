// The relay's device identification: against lindqvar-device in its reply modes, and against a
// line the test holds for the replies the device cannot give.

#include "support/RelayBench.h"

#include "log/Win1251.h"
#include "platform/TickClock.h"
#include "support/ThreadCpu.h"
#include "support/ToolHarness.h"

#include <QFile>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

namespace
{

const QByteArray Request("+VER_INFO=?\r\n");
const QByteArray DefaultReply("+VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"\r\nOK\r\n");

} // namespace

class TstIdentification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deviceReplyModes_data();
    void deviceReplyModes();
    void replyPieces_data();
    void replyPieces();
    void unrecognisedRepliesTimeOut();

private:
    // The device on its line answers these pieces, one write each (a pause between them), once
    // it has read the request.
    void AnswerWith(const QList<QByteArray> &pieces, int gapMs = 300);

    std::unique_ptr<TRelayBench> B;
    std::thread FDevice;
    QByteArray FRequestSeen;
};

void TstIdentification::init()
{
    B = std::make_unique<TRelayBench>();
    QVERIFY(B->Start());
}

void TstIdentification::cleanup()
{
    TickClock::SetSpeed(1);
    if (FDevice.joinable())
        FDevice.join();
    B.reset();
    FRequestSeen.clear();
}

void TstIdentification::AnswerWith(const QList<QByteArray> &pieces, int gapMs)
{
    FDevice = std::thread([this, pieces, gapMs] {
        FRequestSeen = B->Pty.Read(int(Request.size()));
        for (const QByteArray &piece : pieces) {
            B->Pty.Write(piece);
            // Long enough (by default) for the relay to read each piece on its own.
            QThread::msleep(static_cast<unsigned long>(gapMs));
        }
    });
}

void TstIdentification::deviceReplyModes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << QStringList() << DefaultReply;
    QTest::newRow("echo") << QStringList{QStringLiteral("--ident-echo")} << Request + DefaultReply;
    QTest::newRow("pieces") << QStringList{QStringLiteral("--ident-pieces"),
                                           QStringLiteral("--piece-gap"), QStringLiteral("200")}
                            << DefaultReply;
}

void TstIdentification::deviceReplyModes()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expected);
    const QString record = B->Config.Root() + QStringLiteral("/device-record");
    ToolProcess device;
    QVERIFY(device.startOnPort(QStringLiteral("lindqvar-device"), QStringLiteral("COM4"),
                               QStringList{QStringLiteral("--record"), record} + options));
    B->Host.PortName = QStringLiteral("COM4");
    QVERIFY(B->OpenPort());

    // The wait dispatches nothing: an event posted before it runs only afterwards.
    bool dispatched = false;
    QMetaObject::invokeMethod(
        &B->Endpoint, [&] { dispatched = true; }, Qt::QueuedConnection);
    QByteArray reply;
    QVERIFY(B->Relay.RequestVerInfo(reply));
    QVERIFY(!dispatched);

    QCOMPARE(reply, expected);
    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(recorded.readAll(), Request);
    QCOMPARE(B->Host.Log.mid(1),
             (QStringList{QStringLiteral("APP->COM +VER_INFO=?"),
                          QStringLiteral("COM->APP ") + Win1251ToString(expected)}));
    QTRY_VERIFY(dispatched);
}

void TstIdentification::replyPieces_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::newRow("OK, then CR LF in the next read")
        << QList<QByteArray>{"+VER_INFO: 1,M.1\r\nOK", "\r\n"};
    QTest::newRow("OK CR, then LF") << QList<QByteArray>{"x,M.1\r\nOK\r", "\n"};
    QTest::newRow("more after OK in the same read")
        << QList<QByteArray>{"x,M.1\r\n", "OK\r\nEXTRA,more"};
    QTest::newRow("NUL bytes, then OK")
        << QList<QByteArray>{QByteArray(4000, '\0'), QByteArray("\0\0OK\r\n\0", 7)};
    QTest::newRow("over a buffer's worth, then OK")
        << QList<QByteArray>{QByteArray(40000, 'A'), QByteArray(30000, 'B') + "OK\r\n"};
}

void TstIdentification::replyPieces()
{
    QFETCH(QList<QByteArray>, pieces);
    QVERIFY(B->OpenPort());
    AnswerWith(pieces);

    QByteArray reply;
    QVERIFY(B->Relay.RequestVerInfo(reply));
    FDevice.join();
    QCOMPARE(FRequestSeen, Request);
    // Everything collected, up to and including the read that completed OK CR LF.
    QCOMPARE(reply.size(), pieces.join().size());
    QVERIFY(reply == pieces.join());
    QVERIFY(B->Host.Log.contains(QStringLiteral("COM->APP ") + Win1251ToString(reply)));
}

void TstIdentification::unrecognisedRepliesTimeOut()
{
    QVERIFY(B->OpenPort());
    QByteArray reply = "from an earlier request";
    // Lower case, LF alone, a split OK, and a long reply without OK: none of it completes a
    // reply, so the request fails after its whole wait (the one such wait of these tests). Five
    // times faster, the 10 s are 2 s: room enough for the pieces to arrive on a loaded machine.
    TickClock::SetSpeed(5);
    AnswerWith({"x,M.1\r\nok\r\n", "OK\n", "Ok\r\n", "O", "K\n\r\n", QByteArray(40000, 'Z'),
                QByteArray(2000, '\0')},
               20);
    // Once the relay has taken the whole reply off the line, the cable is pulled: a hung-up
    // line reports itself readable at once, and the rest of the wait must sleep on it.
    std::atomic<bool> allTaken = false;
    std::thread puller([&] {
        FDevice.join();
        for (int i = 0; i < 500 && !allTaken; ++i) {
            allTaken = B->Pty.SlaveInputQueued() == 0;
            QThread::msleep(10);
        }
        B->Pty.Unplug();
    });

    bool answered = true;
    const TThreadCpu cpu = TThreadCpu::Of([&] { answered = B->Relay.RequestVerInfo(reply); });
    puller.join();
    QVERIFY(!answered);
    QCOMPARE(FRequestSeen, Request);
    QVERIFY(allTaken);
    QVERIFY(reply.isEmpty());
    QCOMPARE(B->Host.Log.mid(1), QStringList{QStringLiteral("APP->COM +VER_INFO=?")});
    // The wait slept instead of spinning on the line.
    QVERIFY2(cpu.MostlyAsleep(), qPrintable(cpu.Text()));
}

QTEST_MAIN(TstIdentification)
#include "tst_identification.moc"
