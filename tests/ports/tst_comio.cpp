// Reading and writing an open port, and what happens when the cable is pulled.
#include "line/tty/PortLock.h"
#include "line/tty/TtyLine.h"
#include "ports/COMUtils.h"
#include "support/PatternBytes.h"
#include "support/Pty.h"
#include "support/ResultCheck.h"
#include "support/TempConfig.h"

#include <QFile>
#include <QTest>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class TstComIo : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readTakesExactlyWhatIsQueued();
    void readNeverPassesTheBuffer();
    void longStreamArrivesWhole();
    void writesReachTheLine();
    void writeToStoppedReceiverReturns();
    void closeRightAfterAWriteKeepsEveryByte();
    void cancelDiscardsQueuedInput();
    void unpluggedPortFailsCleanly();
    void operationsWithoutPort();

private:
    TTempConfig *FConfig = nullptr;
    TPty *FPty = nullptr;
    THandle FHandle = INVALID_HANDLE_VALUE;
};

void TstComIo::init()
{
    FConfig = new TTempConfig;
    FPty = new TPty;
    QVERIFY(FConfig->IsValid());
    QVERIFY2(FPty->IsValid(), qPrintable(FPty->Error()));
    QVERIFY(FConfig->WritePortMap({"COM7=" + FPty->StablePath(FConfig->Root())}));
    FHandle = INVALID_HANDLE_VALUE;
    QVERIFY_OK(OpenCOMPort("COM7", 115200, FHandle));
}

void TstComIo::cleanup()
{
    QVERIFY(CloseCOMPort(FHandle));
    delete FPty;
    delete FConfig;
    FPty = nullptr;
    FConfig = nullptr;
}

void TstComIo::readTakesExactlyWhatIsQueued()
{
    char buffer[COM_BUFFER_SIZE];
    QCOMPARE(ReadCOMPort(FHandle, buffer, COM_BUFFER_SIZE), 0);
    QByteArray text("stale");
    ReadCOMString(FHandle, text);
    QVERIFY(text.isEmpty());

    QVERIFY(FPty->Write("HELLO"));
    QTRY_COMPARE_WITH_TIMEOUT(FPty->SlaveInputQueued(), 5, 10000);
    QCOMPARE(ReadCOMPort(FHandle, buffer, COM_BUFFER_SIZE), 5);
    QCOMPARE(QByteArray(buffer, 5), QByteArray("HELLO"));
    QCOMPARE(FPty->SlaveInputQueued(), 0);

    // Every byte value passes unchanged, CR and LF and XON/XOFF included.
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QVERIFY(FPty->Write(all));
    QTRY_COMPARE_WITH_TIMEOUT(FPty->SlaveInputQueued(), 256, 10000);
    ReadCOMString(FHandle, text);
    QCOMPARE(text, all);
}

void TstComIo::readNeverPassesTheBuffer()
{
    // A pseudo-terminal queues at most about 4 KB, so a smaller buffer stands in for the
    // 32768-byte one: the queue must outgrow the buffer.
    const QByteArray sent = PatternBytes(3000);
    QVERIFY(FPty->Write(sent));
    QTRY_COMPARE_WITH_TIMEOUT(FPty->SlaveInputQueued(), 3000, 10000);

    constexpr int size = 1000;
    constexpr int guard = 64;
    QByteArray buffer(size + guard, char(0xAB));
    QCOMPARE(ReadCOMPort(FHandle, buffer.data(), size), size);
    QCOMPARE(buffer.left(size), sent.left(size));
    QCOMPARE(buffer.mid(size), QByteArray(guard, char(0xAB)));
    // The rest stays queued, in order.
    QCOMPARE(FPty->SlaveInputQueued(), 2000);
    QCOMPARE(ReadCOMPort(FHandle, buffer.data(), size), size);
    QCOMPARE(buffer.left(size), sent.mid(size, size));
    QByteArray rest;
    ReadCOMString(FHandle, rest);
    QCOMPARE(rest, sent.mid(2 * size));
    QCOMPARE(ReadCOMPort(FHandle, buffer.data(), 0), 0);

    // More than a whole buffer queued: a socket pair answers the same queued-count request and
    // holds far more than a terminal does.
    int pair[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    const QByteArray big = PatternBytes(COM_BUFFER_SIZE + 7000);
    QCOMPARE(::write(pair[1], big.constData(), size_t(big.size())), ssize_t(big.size()));
    QByteArray large(COM_BUFFER_SIZE + guard, char(0xAB));
    TTtyLine socket(pair[0]);
    QCOMPARE(socket.Read(large.data(), COM_BUFFER_SIZE).Value(), COM_BUFFER_SIZE);
    QVERIFY(large.left(COM_BUFFER_SIZE) == big.left(COM_BUFFER_SIZE));
    QCOMPARE(large.mid(COM_BUFFER_SIZE), QByteArray(guard, char(0xAB)));
    rest.resize(COM_BUFFER_SIZE);
    rest.resize(socket.Read(rest.data(), COM_BUFFER_SIZE).Value());
    QVERIFY(rest == big.mid(COM_BUFFER_SIZE));
    QVERIFY(socket.Close().Ok());
    ::close(pair[1]);
}

void TstComIo::longStreamArrivesWhole()
{
    const QByteArray sent = PatternBytes(100000);
    QByteArray received;
    qsizetype offered = 0;
    char buffer[COM_BUFFER_SIZE];
    QDeadlineTimer deadline(60000);
    while (received.size() < sent.size() && !deadline.hasExpired()) {
        if (offered < sent.size()) {
            const ssize_t n = ::write(FPty->MasterFd(), sent.constData() + offered,
                                      size_t(sent.size() - offered));
            if (n > 0)
                offered += n;
        }
        const int count = ReadCOMPort(FHandle, buffer, COM_BUFFER_SIZE);
        QVERIFY(count >= 0 && count <= COM_BUFFER_SIZE);
        received.append(buffer, count);
        if (count == 0) {
            struct pollfd waiter = {FPty->SlaveFd(), POLLIN, 0};
            ::poll(&waiter, 1, 20);
        }
    }
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
}

void TstComIo::writesReachTheLine()
{
    QCOMPARE(WriteCOMString(FHandle, "ATZ\r"), 4);
    QCOMPARE(FPty->Read(4), QByteArray("ATZ\r"));
    QCOMPARE(WriteCOMString(FHandle, QByteArray()), 0);
    QCOMPARE(WriteCOMPort(FHandle, "x", 0), 0);

    // A block larger than any driver queue is taken whole while the far end reads.
    const QByteArray block = PatternBytes(COM_BUFFER_SIZE);
    QByteArray arrived;
    std::thread reader([&] { arrived = FPty->Read(block.size(), 60000); });
    const int written = WriteCOMPort(FHandle, block.constData(), int(block.size()));
    reader.join();
    QCOMPARE(written, COM_BUFFER_SIZE);
    QVERIFY(arrived == block);
}

void TstComIo::writeToStoppedReceiverReturns()
{
    // Nobody reads the far end: the write takes what fits and then gives up instead of hanging.
    const QByteArray block = PatternBytes(1 << 20);
    const int written = WriteCOMPort(FHandle, block.constData(), int(block.size()));
    QVERIFY2(written > 0 && written < block.size(), qPrintable(QString::number(written)));
    // What was taken is intact.
    QVERIFY(FPty->Read(written) == block.left(written));
}

void TstComIo::closeRightAfterAWriteKeepsEveryByte()
{
    // As a hang-up is written and the port closed at once. A pseudo-terminal reports an empty
    // output queue while the bytes are still on their way, so a close that discarded output
    // would lose some of them.
    QVERIFY(CloseCOMPort(FHandle));
    for (int round = 0; round < 300; ++round) {
        QVERIFY_OK(OpenCOMPort("COM7", 115200, FHandle));
        const QByteArray block = "ATH" + QByteArray::number(round % 100).rightJustified(2, '0');
        QCOMPARE(WriteCOMString(FHandle, block), 5);
        QVERIFY(CloseCOMPort(FHandle));
        QCOMPARE(FPty->Read(5, 5000), block);
    }
    QVERIFY_OK(OpenCOMPort("COM7", 115200, FHandle));
}

void TstComIo::cancelDiscardsQueuedInput()
{
    QVERIFY(FPty->Write("old data"));
    QTRY_COMPARE_WITH_TIMEOUT(FPty->SlaveInputQueued(), 8, 10000);
    CancelCOMIo(FHandle);
    QCOMPARE(FPty->SlaveInputQueued(), 0);
    char buffer[64];
    QCOMPARE(ReadCOMPort(FHandle, buffer, sizeof buffer), 0);
    // The port goes on working.
    QVERIFY(FPty->Write("new"));
    QTRY_COMPARE_WITH_TIMEOUT(FPty->SlaveInputQueued(), 3, 10000);
    QCOMPARE(ReadCOMPort(FHandle, buffer, sizeof buffer), 3);
    QCOMPARE(QByteArray(buffer, 3), QByteArray("new"));
}

void TstComIo::unpluggedPortFailsCleanly()
{
    QVERIFY(IsCOMPortPresent("COM7"));
    QVERIFY(FPty->Write("in flight"));
    const QString line = FConfig->ReadPortMap().value(0).section(u'=', 1);
    FPty->Unplug();
    QVERIFY(!QFile::exists(line));
    QVERIFY(!IsCOMPortPresent("COM7"));

    char buffer[COM_BUFFER_SIZE];
    for (int i = 0; i < 3; ++i) {
        const int read = ReadCOMPort(FHandle, buffer, COM_BUFFER_SIZE);
        QVERIFY2(read == 0 || read == -1, qPrintable(QString::number(read)));
        QByteArray text("x");
        ReadCOMString(FHandle, text);
        QVERIFY(text.isEmpty());
        const int written = WriteCOMString(FHandle, "ATH");
        QVERIFY2(written == 0 || written == -1, qPrintable(QString::number(written)));
    }
    const QString lockFile = PortLock::LockFilePath(FPty->SlavePath());
    QVERIFY(CloseCOMPort(FHandle));
    QCOMPARE(FHandle, INVALID_HANDLE_VALUE);
    if (!lockFile.isEmpty())
        QVERIFY(!QFile::exists(lockFile));
    QVERIFY(!OpenCOMPort("COM7", 115200, FHandle));
    QCOMPARE(FHandle, INVALID_HANDLE_VALUE);

    // Plugged in again under the same name.
    TPty again;
    QVERIFY(again.IsValid());
    QVERIFY(FConfig->WritePortMap({"COM7=" + again.SlavePath()}));
    QVERIFY(IsCOMPortPresent("COM7"));
    QVERIFY_OK(OpenCOMPort("COM7", 115200, FHandle));
    QVERIFY(CloseCOMPort(FHandle));
}

void TstComIo::operationsWithoutPort()
{
    char buffer[16];
    QCOMPARE(ReadCOMPort(INVALID_HANDLE_VALUE, buffer, sizeof buffer), 0);
    QCOMPARE(WriteCOMPort(INVALID_HANDLE_VALUE, "AT", 2), -1);
    CancelCOMIo(INVALID_HANDLE_VALUE);
    // Bad arguments are faults, not crashes.
    QCOMPARE(ReadCOMPort(FHandle, nullptr, 16), -1);
    QCOMPARE(ReadCOMPort(FHandle, buffer, -1), -1);
    QCOMPARE(WriteCOMPort(FHandle, nullptr, 2), -1);
    QCOMPARE(WriteCOMPort(FHandle, "AT", -2), -1);
}

QTEST_GUILESS_MAIN(TstComIo)
#include "tst_comio.moc"
