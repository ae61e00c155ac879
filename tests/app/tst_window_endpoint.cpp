// The main window's side of a link, with real sockets on 127.0.0.1 and a pseudo-terminal line:
// the port rules of StartServer, a failed bind, the endpoint's events as the window passes them
// to the relay, and the line speed of the COM speed dialog.

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "endpoint/TServerSocket.h"
#include "settings/COMSettingsUnit.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Pty.h"
#include "support/WizardFixture.h"

#include <QComboBox>
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

class TstWindowEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portTextRules_data();
    void portTextRules();
    void bindFailureOnAPortInUse();
    void stopServerKeepsTheConnectedFlag();
    void resetPeerLeavesTheList();
    void cableSpeedFromTheDialog_data();
    void cableSpeedFromTheDialog();

private:
    std::unique_ptr<TWizardFixture> F;
    // The line mapped as COM7 in every case's config.
    TPty FPty;
};

void TstWindowEndpoint::init()
{
    F = std::make_unique<TWizardFixture>();
    QVERIFY2(FPty.IsValid(), qPrintable(FPty.Error()));
    QVERIFY(F->Config.WritePortMap({QStringLiteral("COM7=") + FPty.SlavePath()}));
    QVERIFY(F->StartOnPort(QStringLiteral("COM7"), TConnectionType::Cable));
}

void TstWindowEndpoint::cleanup()
{
    F.reset();
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
    TMainLindqvarForm &w = F->Main();
    QLineEdit *edit = Ui(w).TCPServerSettingsForm->PortEdit;
    edit->setText(text);
    // The port may be taken on this machine; the rule is about the number, not the bind.
    try {
        w.Session().StartServer();
    } catch (const std::exception &) {
    }
    QCOMPARE(Ui(w).ServerSocket->Port(), port);
    QCOMPARE(edit->text(), QString::number(port));
    if (Ui(w).ServerSocket->Active())
        QCOMPARE(Ui(w).ServerSocket->LocalPort(), port);
    w.Session().StopServer();
    QVERIFY(!Ui(w).ServerSocket->Active());
}

void TstWindowEndpoint::bindFailureOnAPortInUse()
{
    TMainLindqvarForm &w = F->Main();
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    const quint16 taken = other.serverPort();
    Ui(w).TCPServerSettingsForm->PortEdit->setText(QString::number(taken));
    const qsizetype before = F->Dialogs.Boxes.size();

    Guarded([&] { w.Session().StartServer(); }); // the application's top-level handler

    QCOMPARE(F->Dialogs.Boxes.size(), before + 1);
    const QString expected = QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                                 .arg(QString::fromLocal8Bit(std::strerror(EADDRINUSE)))
                                 .arg(EADDRINUSE);
    QCOMPARE(F->Dialogs.Boxes.last().Text, expected);
    QCOMPARE(F->Dialogs.Boxes.last().Icon, TMsgIcon::Error);
    QVERIFY(!Ui(w).ServerSocket->Active());

    // Once the port is free the next start listens on it.
    other.close();
    w.Session().StartServer();
    QVERIFY(Ui(w).ServerSocket->Active());
    QCOMPARE(Ui(w).ServerSocket->LocalPort(), int(taken));
    // Only this machine can reach the endpoint.
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    QCOMPARE(::getsockname(Ui(w).ServerSocket->SocketHandle(), reinterpret_cast<sockaddr *>(&bound),
                           &length),
             0);
    QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
}

void TstWindowEndpoint::stopServerKeepsTheConnectedFlag()
{
    TMainLindqvarForm &w = F->Main();
    w.Session().StartServer();
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), F->ServerPort);
    QTRY_VERIFY(w.Session().Relay().SetupConnected());

    w.Session().StopServer();
    QVERIFY(!Ui(w).ServerSocket->Active());
    QCOMPARE(Ui(w).ServerSocket->ActiveConnections(), 0);
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    // No disconnect event for a stopped endpoint's clients.
    QVERIFY(w.Session().Relay().SetupConnected());
    w.Session().Relay().BytesToBuffer("lost");
    QVERIFY(!w.Session().Relay().SendToClient(4));

    // A restart with a client listed closes it, again without the event.
    w.Session().StartServer();
    QTcpSocket again;
    again.connectToHost(QStringLiteral("127.0.0.1"), F->ServerPort);
    QTRY_COMPARE(Ui(w).ServerSocket->ActiveConnections(), 1);
    w.Session().StartServer();
    QCOMPARE(Ui(w).ServerSocket->ActiveConnections(), 0);
    QTRY_COMPARE(again.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(w.Session().Relay().SetupConnected());
}

void TstWindowEndpoint::resetPeerLeavesTheList()
{
    TMainLindqvarForm &w = F->Main();
    w.Session().StartServer();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(F->ServerPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    QTRY_VERIFY(w.Session().Relay().SetupConnected());
    QTRY_COMPARE(Ui(w).ServerSocket->ActiveConnections(), 1);

    const qsizetype boxes = F->Dialogs.Boxes.size();
    // Closing with a zero linger time resets the connection.
    const linger hard{1, 0};
    QCOMPARE(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    ::close(fd);

    QTRY_VERIFY(!w.Session().Relay().SetupConnected());
    QTRY_COMPARE(Ui(w).ServerSocket->ActiveConnections(), 0);
    QCOMPARE(F->Dialogs.Boxes.size(), boxes); // the error is not shown
    QVERIFY(Ui(w).ServerSocket->Active());
}

void TstWindowEndpoint::cableSpeedFromTheDialog_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("speed");
    QTest::newRow("57600") << "57600" << 57600;
    QTest::newRow("not a number") << "fast" << 19200;
}

void TstWindowEndpoint::cableSpeedFromTheDialog()
{
    QFETCH(QString, text);
    QFETCH(int, speed);
    QComboBox *combo = Ui(F->Main()).COMSettingsForm->SpeedComboBox;
    if (combo->findText(text) < 0)
        combo->addItem(text);
    combo->setCurrentIndex(combo->findText(text));
    // The session opens the next cable port at this speed (the relay's tests see it on a pty).
    QCOMPARE(F->Main().Session().CableSpeed(), speed);
}

QTEST_MAIN(TstWindowEndpoint)
#include "tst_window_endpoint.moc"
