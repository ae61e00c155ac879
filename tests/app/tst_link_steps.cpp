// The window's serial link steps on a pseudo-terminal line the test holds: a failed write, the
// modem result texts, the port wrappers, and a block that meets the end of its link.

#include "support/LinkBench.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "net/TServerSocket.h"
#include "settings/COMSettingsUnit.h"
#include "support/MainFormAccess.h"
#include "support/WindowProbes.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace
{

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

// Whether the log holds lines ending with these texts, in this order (other lines between).
bool LogInOrder(const QStringList &lines, const QStringList &endings)
{
    qsizetype at = 0;
    for (const QString &ending : endings) {
        while (at < lines.size() && !lines[at].endsWith(ending))
            ++at;
        if (at == lines.size())
            return false;
        ++at;
    }
    return true;
}

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

speed_t SlaveSpeed(const TPty &pty)
{
    termios t{};
    if (::tcgetattr(pty.SlaveFd(), &t) != 0)
        return B0;
    return ::cfgetospeed(&t);
}

} // namespace

class TstLinkSteps : public QObject
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
    void reopenSpeedFromTheDialog_data();
    void reopenSpeedFromTheDialog();
    void openOnAHeldPort();
    void blockAtTheEndOfTheLinkIsDropped();
    void bufferBounds();

private:
    std::unique_ptr<TLinkBench> B;
};

void TstLinkSteps::init()
{
    B = std::make_unique<TLinkBench>();
    QVERIFY(B->Start());
}

void TstLinkSteps::cleanup()
{
    B.reset();
}

void TstLinkSteps::failedWriteDropsTheClientAndReopens()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);
    QVERIFY(StopTheDeviceReading(B->Pty) > 0);

    // The pass writes the client's block; the line takes nothing (after the serial layer's
    // stall limit), so the write has failed.
    client.write("request");
    QVERIFY(PassUntil(w, [&] { return State(w).FNeedCOMReconnect; }));
    QVERIFY(B->F.LogHas(QStringLiteral("Ошибка записи в COM порт")));
    QCOMPARE(w.Label7->text(), QStringLiteral("Прибор не доступен"));
    QCOMPARE(StatusColor(w), AlarmStatusColor);
    QCOMPARE(State(w).FReadSocket, 0);
    QVERIFY(!State(w).FSetupConnected);
    QCOMPARE(w.ServerSocket->ActiveConnections(), 0);
    QVERIFY(w.ServerSocket->Active());
    QVERIFY(!w.ServerSocket->ReadsSuspended());
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(State(w).FConnected);

    // The device reads again: the next passes reopen the port and the relay goes on.
    B->Pty.ReadQuiet(300);
    QVERIFY(PassUntil(w, [&] { return B->F.LogHas(QStringLiteral("Порт успешно переоткрыт")); }));
    QVERIFY(B->F.LogHas(QStringLiteral("Попытка переокрытия COM порта")));
    QCOMPARE(w.Label7->text(), QStringLiteral("Подключен"));
    QCOMPARE(StatusColor(w), NormalStatusColor());
    QVERIFY(!State(w).FNeedCOMReconnect);
    B->Pty.ReadQuiet(300);

    QTcpSocket again;
    again.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);
    again.write("again");
    QByteArray atDevice;
    QVERIFY(PassUntil(w, [&] {
        atDevice += B->Pty.Read(64, 0);
        return atDevice.size() >= 5;
    }));
    // The failed block was lost, not written late.
    QCOMPARE(atDevice, QByteArray("again"));
}

void TstLinkSteps::writeToAnUnpluggedLine()
{
    QVERIFY(B->OpenPort());
    TMainLindqvarForm &w = B->W();
    B->Pty.Unplug();
    State(w).FReadSocket = w.BytesToBuffer("lost");
    QCOMPARE(w.COMWrite(4), 0);
    QVERIFY(B->F.LogHas(QStringLiteral("Ошибка записи в COM порт")));
    QCOMPARE(w.Label7->text(), QStringLiteral("Прибор не доступен"));
    QVERIFY(State(w).FNeedCOMReconnect);
    QCOMPARE(State(w).FReadSocket, 0);
    // Reading the dead line gives nothing, and no fault escapes.
    QCOMPARE(w.COMRead(), 0);
}

void TstLinkSteps::modemResultTextEndsTheLink_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("lower case") << QByteArray("no carrier");
    QTest::newRow("mixed case among data") << QByteArray("\x01\xff"
                                                         "abc No CaRRier xyz");
    QTest::newRow("busy") << QByteArray("BuSy");
    QTest::newRow("no dialtone") << QByteArray("NO DIALTONE");
    QTest::newRow("no answer") << QByteArray("..no answer..");
}

void TstLinkSteps::modemResultTextEndsTheLink()
{
    QFETCH(QByteArray, block);
    QVERIFY(B->OpenPort());
    TMainLindqvarForm &w = B->W();
    State(w).FModemConnect = true;
    State(w).FConnected = true;
    State(w).SetCommand(TCommandState::Connected);

    QVERIFY(B->Pty.Write(block));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), int(block.size()));
    QCOMPARE(w.COMRead(), 0);

    QCOMPARE(w.CommandState(), TCommandState::Broken);
    QCOMPARE(w.URLLabel1->text(), QStringLiteral("Переподключить"));
    QCOMPARE(w.Label7->text(), QStringLiteral("Нет подключения"));
    QCOMPARE(StatusColor(w), NormalStatusColor());
    QVERIFY(!State(w).FConnected);
    QVERIFY(State(w).FCOMHandle == INVALID_HANDLE_VALUE);
    QVERIFY(LogInOrder(B->F.LogLines(),
                       {QStringLiteral("Завершение работы по ошибке модема"),
                        QStringLiteral("Последний полученный пакет:"),
                        QString::fromLatin1(block.right(4)),
                        QStringLiteral("Установили \"Нет подключения\", процедура COMRead")}));
    // The hang-up: the three letters alone, no line end.
    QCOMPARE(B->Pty.ReadQuiet(300), QByteArray("ATH"));
}

void TstLinkSteps::resultTextSplitAcrossReadsIsData()
{
    QVERIFY(B->OpenPort());
    TMainLindqvarForm &w = B->W();
    State(w).FModemConnect = true;
    State(w).FConnected = true;
    State(w).SetCommand(TCommandState::Connected);

    QVERIFY(B->Pty.Write("NO CAR"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 6);
    QCOMPARE(w.COMRead(), 6);
    QVERIFY(B->Pty.Write("RIER"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 4);
    QCOMPARE(w.COMRead(), 4);
    QCOMPARE(w.BufferToBytes(4), QByteArray("RIER"));
    QVERIFY(State(w).FConnected);
    QCOMPARE(w.CommandState(), TCommandState::Connected);
    QVERIFY(State(w).FCOMHandle != INVALID_HANDLE_VALUE);
    QVERIFY(!B->F.LogHas(QStringLiteral("Завершение работы по ошибке модема")));
}

void TstLinkSteps::resultTextOnACableIsData()
{
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);

    QVERIFY(B->Pty.Write("NO CARRIER"));
    QVERIFY(PassUntil(w, [&] { return client.bytesAvailable() >= 10; }));
    QCOMPARE(client.readAll(), QByteArray("NO CARRIER"));
    QVERIFY(State(w).FConnected);
    QCOMPARE(w.CommandState(), TCommandState::Connected);
    QVERIFY(B->F.LogHas(QStringLiteral(": COM->TCP NO CARRIER")));
}

void TstLinkSteps::reopenSpeedFromTheDialog_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("speed");
    QTest::newRow("9600") << "9600" << int(B9600);
    QTest::newRow("57600") << "57600" << int(B57600);
    QTest::newRow("not a number") << "fast" << int(B19200);
}

void TstLinkSteps::reopenSpeedFromTheDialog()
{
    QFETCH(QString, text);
    QFETCH(int, speed);
    TMainLindqvarForm &w = B->W();
    // Another speed first, so that the reopen must set it.
    termios t{};
    QCOMPARE(::tcgetattr(B->Pty.SlaveFd(), &t), 0);
    ::cfsetspeed(&t, B38400);
    QCOMPARE(::tcsetattr(B->Pty.SlaveFd(), TCSANOW, &t), 0);
    QVERIFY(B->OpenPort());
    State(w).FNeedCOMReconnect = true;

    QComboBox *combo = w.COMSettingsForm->SpeedComboBox;
    if (combo->findText(text) < 0)
        combo->addItem(text);
    combo->setCurrentIndex(combo->findText(text));
    const qsizetype logged = B->F.LogLines().size();

    QVERIFY(w.ReopenLinkPort());
    QCOMPARE(int(SlaveSpeed(B->Pty)), speed);
    QVERIFY(!State(w).FNeedCOMReconnect);
    QVERIFY(State(w).FCOMHandle != INVALID_HANDLE_VALUE);
    QCOMPARE(B->F.LogLines().size(), logged);
}

void TstLinkSteps::openOnAHeldPort()
{
    TMainLindqvarForm &w = B->W();
    THandle other = INVALID_HANDLE_VALUE;
    QVERIFY(OpenCOMPort(TLinkBench::ComName(), 19200, other));
    for (const bool flag : {false, true}) {
        State(w).FNeedCOMReconnect = flag;
        QVERIFY(w.OpenLinkPort() == INVALID_HANDLE_VALUE);
        QVERIFY(State(w).FCOMHandle == INVALID_HANDLE_VALUE);
        QCOMPARE(State(w).FNeedCOMReconnect, flag);
    }
    QVERIFY(B->F.LogHas(QStringLiteral("Ошибка открытия COM порта")));
    QVERIFY(!B->F.LogHas(QStringLiteral("COM порт успешно открыт")));

    QVERIFY(CloseCOMPort(other));
    QVERIFY(w.OpenLinkPort() != INVALID_HANDLE_VALUE);
    QVERIFY(B->F.LogHas(QStringLiteral("COM порт успешно открыт")));
}

void TstLinkSteps::blockAtTheEndOfTheLinkIsDropped()
{
    const QString lost = QStringLiteral("Соединение было прервано, последний пакет не доставлен");
    QVERIFY(B->BeginRelay());
    TMainLindqvarForm &w = B->W();
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), B->Port);
    QTRY_VERIFY(State(w).FSetupConnected);

    // A block from the client, as a read event leaves it, and the link ends in the next dispatch.
    State(w).FReadSocket = w.BytesToBuffer("late block");
    QMetaObject::invokeMethod(
        &w, [&w] { State(w).FConnected = false; }, Qt::QueuedConnection);
    State(w).RelayPass();
    QVERIFY(B->F.LogHas(lost));
    QVERIFY(!B->F.LogHas(QStringLiteral("TCP->COM late block")));
    QCOMPARE(B->Pty.ReadQuiet(200, 500), QByteArray());

    // Device bytes read as the link ends reach no client.
    const qsizetype before = B->F.LogLines().filter(lost).size();
    State(w).FConnected = true;
    State(w).FReadSocket = 0;
    QVERIFY(B->Pty.Write("late reply"));
    QTRY_COMPARE(B->Pty.SlaveInputQueued(), 10);
    QMetaObject::invokeMethod(
        &w, [&w] { State(w).FConnected = false; }, Qt::QueuedConnection);
    State(w).RelayPass();
    QCOMPARE(B->F.LogLines().filter(lost).size(), before + 1);
    QVERIFY(!B->F.LogHas(QStringLiteral("COM->TCP late reply")));
    QTest::qWait(200);
    QCOMPARE(client.bytesAvailable(), 0);
}

void TstLinkSteps::bufferBounds()
{
    TMainLindqvarForm &w = B->W();
    const QByteArray big = PatternBytes(COM_BUFFER_SIZE + 100, 5);
    QCOMPARE(w.BytesToBuffer(big), COM_BUFFER_SIZE);
    QCOMPARE(w.BufferToBytes(COM_BUFFER_SIZE + 100), big.first(COM_BUFFER_SIZE));
    QCOMPARE(w.BufferToBytes(-1), QByteArray());
    QCOMPARE(w.BytesToBuffer(QByteArray("\0ab", 3)), 3);
    QCOMPARE(w.BufferToBytes(3), QByteArray("\0ab", 3));
}

QTEST_MAIN(TstLinkSteps)
#include "tst_link_steps.moc"
