// The device identification of the main window: against lindqvar-device in its reply modes,
// and against a line the test holds for the replies the device cannot give.

#include "support/LinkBench.h"

#include "app/MainFormUnit.h"
#include "platform/TickClock.h"
#include "settings/Paths.h"
#include "support/MainFormAccess.h"
#include "support/ToolHarness.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <atomic>
#include <ctime>
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

    std::unique_ptr<TLinkBench> B;
    std::thread FDevice;
    QByteArray FRequestSeen;
};

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
            // Long enough (by default) for the window to read each piece on its own.
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
    B = std::make_unique<TLinkBench>();
    const QString record = B->F.Config.Root() + QStringLiteral("/device-record");
    ToolProcess device;
    QVERIFY(device.start(QStringLiteral("lindqvar-device"),
                         QStringList{QStringLiteral("--ports-conf"), Paths::PortMapFile(),
                                     QStringLiteral("--com"), QStringLiteral("COM4"),
                                     QStringLiteral("--record"), record} +
                             options));
    QVERIFY(!device.waitLine(QStringLiteral("PTY ")).isEmpty());
    QVERIFY(B->F.Start());
    B->F.ShowLog();
    TMainLindqvarForm &w = B->W();
    w.SelectComboItem(w.PortsListComboBox, QStringLiteral("COM4"));
    QCOMPARE(w.PortsListComboBox->currentText(), QStringLiteral("COM4"));
    QVERIFY(w.OpenLinkPort() != INVALID_HANDLE_VALUE);

    // The wait dispatches nothing: an event posted before it runs only afterwards.
    bool dispatched = false;
    QMetaObject::invokeMethod(
        &w, [&] { dispatched = true; }, Qt::QueuedConnection);
    QVERIFY(w.RequestVerInfo());
    QVERIFY(!dispatched);

    QCOMPARE(State(w).FVerInfo, expected);
    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(recorded.readAll(), Request);
    const QStringList lines = B->F.LogLines();
    QVERIFY(B->F.LogHas(QStringLiteral(": APP->COM +VER_INFO=?")));
    QVERIFY(B->F.LogHas(QStringLiteral(": COM->APP +VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"")));
    QVERIFY(B->F.LogHas(QStringLiteral(": COM->APP OK")));
    QTRY_VERIFY(dispatched);
    w.CloseLinkPort();
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
    B = std::make_unique<TLinkBench>();
    QVERIFY(B->Start());
    QVERIFY(B->OpenPort());
    TMainLindqvarForm &w = B->W();
    AnswerWith(pieces);

    QVERIFY(w.RequestVerInfo());
    FDevice.join();
    QCOMPARE(FRequestSeen, Request);
    // Everything collected, up to and including the read that completed OK CR LF.
    QCOMPARE(State(w).FVerInfo.size(), pieces.join().size());
    QVERIFY(State(w).FVerInfo == pieces.join());
    QCOMPARE(B->F.LogLines().filter(QStringLiteral(": COM->APP ")).isEmpty(), false);
}

void TstIdentification::unrecognisedRepliesTimeOut()
{
    B = std::make_unique<TLinkBench>();
    QVERIFY(B->Start());
    QVERIFY(B->OpenPort());
    TMainLindqvarForm &w = B->W();
    State(w).FVerInfo = "from an earlier request";
    // Lower case, LF alone, a split OK, and a long reply without OK: none of it completes a
    // reply, so the request fails after its whole wait (the one such wait of these tests). Five
    // times faster, the 10 s are 2 s: room enough for the pieces to arrive on a loaded machine.
    TickClock::SetSpeed(5);
    AnswerWith({"x,M.1\r\nok\r\n", "OK\n", "Ok\r\n", "O", "K\n\r\n", QByteArray(40000, 'Z'),
                QByteArray(2000, '\0')},
               20);
    // Once the window has taken the whole reply off the line, the cable is pulled: a hung-up
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

    timespec cpuBefore{};
    timespec cpuAfter{};
    QElapsedTimer wall;
    wall.start();
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
    const bool answered = w.RequestVerInfo();
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
    const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    puller.join();
    QVERIFY(!answered);
    QCOMPARE(FRequestSeen, Request);
    QVERIFY(allTaken);
    QVERIFY(State(w).FVerInfo.isEmpty());
    QVERIFY(B->F.LogHas(QStringLiteral(": APP->COM +VER_INFO=?")));
    QVERIFY(B->F.LogLines().filter(QStringLiteral(": COM->APP ")).isEmpty());
    // The wait cost the window thread a small part of its time in CPU (a spin costs all of it;
    // the thread's own CPU time does not grow with the machine's load).
    const double cpuSeconds = double(cpuAfter.tv_sec - cpuBefore.tv_sec) +
                              double(cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
    QVERIFY2(cpuSeconds < 0.25 * wallSeconds,
             qPrintable(QStringLiteral("%1 s of CPU in %2 s").arg(cpuSeconds).arg(wallSeconds)));
}

QTEST_MAIN(TstIdentification)
#include "tst_identification.moc"
