// Links over TLS: ser2net (from Debian) serves the stand-in's pseudo-terminal on 127.0.0.1
// behind its ssl layer, with certificates the test makes, and the port map names the server with
// rfc2217+tls:// or tls:// and the options that trust it. Every wrong certificate is refused with
// a reason the user can act on, and nothing is relayed.

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "settings/COMSettingsUnit.h"
#include "support/LinkScript.h"
#include "support/LinkThroughLoss.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Pty.h"
#include "support/Ser2Net.h"
#include "support/TestCertificates.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <termios.h>

namespace
{

const QString Com = QStringLiteral("COM12");

} // namespace

class TstTlsLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void setupProgramRelayedOverTls_data();
    void setupProgramRelayedOverTls();
    void serverRefused_data();
    void serverRefused();
    void serverGoneAndBack();

private:
    // The device stand-in on a pseudo-terminal and ser2net serving it with the protocol, over
    // TLS with the named certificate unless it is empty (clientAuth: demanding a client
    // certificate, from the test CA).
    [[nodiscard]] bool StartServer(TSer2Net::TProtocol protocol, const QString &certificate,
                                   bool clientAuth);
    // The wizard with COM12 mapped to the path and the cable connection chosen.
    [[nodiscard]] bool StartWizard(const QString &path);
    // The server's port-map path with options: ca= the named certificate, the client's
    // certificate where asked, then more.
    QString TlsPath(const QString &trusted, bool clientCertificate, const QString &more = {}) const;
    QString OpenFailureReason() const;

    TTestCertificates FCertificates;
    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FTool;
    std::unique_ptr<TSer2Net> FServer;
    QString FPty;
};

void TstTlsLink::initTestCase()
{
    QVERIFY(FCertificates.Make());
}

void TstTlsLink::init()
{
    F = std::make_unique<TWizardFixture>();
}

void TstTlsLink::cleanup()
{
    F.reset();
    FServer.reset();
    FTool.reset();
}

bool TstTlsLink::StartServer(TSer2Net::TProtocol protocol, const QString &certificate,
                             bool clientAuth)
{
    FTool = std::make_unique<ToolProcess>();
    if (!FTool->start(QStringLiteral("lindqvar-device"), {}))
        return false;
    FPty = FTool->waitLine(QStringLiteral("PTY "));
    if (FPty.isEmpty())
        return false;
    std::optional<TSer2Net::TTls> tls;
    const QString authDir = F->Config.Root() + QStringLiteral("/ser2net-auth");
    if (clientAuth && !FCertificates.AllowClient(authDir))
        return false;
    if (!certificate.isEmpty())
        tls = TSer2Net::TTls{FCertificates.Pem(certificate), FCertificates.Key(certificate),
                             clientAuth ? authDir : QString()};
    FServer = std::make_unique<TSer2Net>(FPty, protocol, tls);
    return FServer->Start();
}

bool TstTlsLink::StartWizard(const QString &path)
{
    return F->Config.WritePortMap({Com + u'=' + path}) &&
           F->StartOnPort(Com, TConnectionType::Cable);
}

QString TstTlsLink::TlsPath(const QString &trusted, bool clientCertificate,
                            const QString &more) const
{
    QStringList options;
    if (!trusted.isEmpty())
        options << QStringLiteral("ca=") + FCertificates.Pem(trusted);
    if (clientCertificate)
        options << QStringLiteral("cert=") + FCertificates.Pem(QStringLiteral("client"))
                << QStringLiteral("key=") + FCertificates.Key(QStringLiteral("client"));
    if (!more.isEmpty())
        options << more;
    QString path = FServer->Url();
    // A plain server named as a TLS one.
    path.replace(QRegularExpression(QStringLiteral("^rfc2217://|^tcp://")),
                 QStringLiteral("tls://"));
    return options.isEmpty() ? path : path + u'?' + options.join(u'&');
}

QString TstTlsLink::OpenFailureReason() const
{
    const QStringList lines = F->LogLines();
    const qsizetype failed =
        lines.indexOf(QRegularExpression(QStringLiteral(".*: +Ошибка открытия COM порта$")));
    return failed >= 0 && failed + 1 < lines.size() ? lines[failed + 1] : QString();
}

void TstTlsLink::setupProgramRelayedOverTls_data()
{
    QTest::addColumn<TSer2Net::TProtocol>("protocol");
    QTest::addColumn<QString>("certificate"); // the server's
    QTest::addColumn<QString>("trusted");     // named in ca=
    QTest::addColumn<bool>("clientAuth");
    QTest::addColumn<bool>("keyReadableByOthers");
    const auto rfc2217 = TSer2Net::TProtocol::Rfc2217;
    QTest::newRow("rfc2217+tls") << rfc2217 << "server"
                                 << "ca" << false << false;
    QTest::newRow("tls, raw") << TSer2Net::TProtocol::RawTcp << "server"
                              << "ca" << false << false;
    QTest::newRow("self-signed, trusted by its own certificate") << rfc2217 << "stranger"
                                                                 << "stranger" << false << false;
    QTest::newRow("client certificate, key readable by others") << rfc2217 << "server"
                                                                << "ca" << true << true;
}

void TstTlsLink::setupProgramRelayedOverTls()
{
    QFETCH(TSer2Net::TProtocol, protocol);
    QFETCH(QString, certificate);
    QFETCH(QString, trusted);
    QFETCH(bool, clientAuth);
    QFETCH(bool, keyReadableByOthers);
    const QString key = FCertificates.Key(QStringLiteral("client"));
    QVERIFY(QFile::setPermissions(key, keyReadableByOthers ? QFile::ReadOwner | QFile::WriteOwner |
                                                                 QFile::ReadGroup | QFile::ReadOther
                                                           : QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(StartServer(protocol, certificate, clientAuth));
    QVERIFY(StartWizard(TlsPath(trusted, clientAuth)));
    int speed = B0;
    QVERIFY(RelayThirtyExchanges(*F, FPty, speed));
    // The log says the line is protected, by what and whom it trusts; and warns of a key that
    // others can read.
    QVERIFY2(F->LogLines().indexOf(QRegularExpression(
                 QStringLiteral(".*COM12: соединение защищено: TLSv1\\.[23], .*; сертификат "
                                "сервера CN=%1 проверен$")
                     .arg(certificate))) >= 0,
             qPrintable(F->LogLines().join(u'\n')));
    QCOMPARE(F->LogLines()
                 .filter(QStringLiteral("COM12: внимание: файл ключа %1 доступен другим "
                                        "пользователям (права 644); закройте его: chmod 600 %1")
                             .arg(key))
                 .size(),
             keyReadableByOthers ? 1 : 0);
    // RFC 2217 over TLS sets the speed as it does in clear text.
    QCOMPARE(speed_t(speed), speed_t(protocol == TSer2Net::TProtocol::Rfc2217 ? B57600 : B9600));
}

void TstTlsLink::serverRefused_data()
{
    QTest::addColumn<TSer2Net::TProtocol>("protocol");
    // The server's certificate; empty: no TLS at the server; "silent": a listener that never
    // says a word.
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("clientAuth");
    QTest::addColumn<QString>("more");   // options after ca=
    QTest::addColumn<QString>("reason"); // "%1": the server's certificate's fingerprint
    const auto rfc2217 = TSer2Net::TProtocol::Rfc2217;
    QTest::newRow("not trusted")
        << rfc2217 << "stranger" << false << ""
        << "сертификат сервера не заверен доверенным центром: CN=stranger, отпечаток SHA-256 %1. "
           "Если это сертификат вашего сервера (сверьте отпечаток), укажите его файл в ca=";
    QTest::newRow("for another name")
        << rfc2217 << "wrong-name" << false << ""
        << "сертификат сервера выдан не на 127.0.0.1, а на device.invalid. Укажите имя из "
           "сертификата в name= или подключайтесь по нему";
    QTest::newRow("name= not in the certificate")
        << rfc2217 << "server" << false << "name=device.invalid"
        << "сертификат сервера выдан не на device.invalid, а на 127.0.0.1, localhost.";
    QTest::newRow("expired") << rfc2217 << "expired" << false << ""
                             << "срок действия сертификата сервера (CN=expired) истёк ";
    QTest::newRow("client certificate demanded")
        << rfc2217 << "server" << true << ""
        << "сервер требует сертификат клиента: укажите его файлы в cert= и key=";
    QTest::newRow("plain rfc2217 server") << rfc2217 << "" << false << ""
                                          << "на том конце нет TLS: сервер ответил не по TLS";
    QTest::newRow("silent server")
        << TSer2Net::TProtocol::RawTcp << "silent" << false << ""
        << "на том конце нет TLS: сервер не ответил на начало TLS за 5 с";
}

void TstTlsLink::serverRefused()
{
    QFETCH(TSer2Net::TProtocol, protocol);
    QFETCH(QString, certificate);
    QFETCH(bool, clientAuth);
    QFETCH(QString, more);
    QFETCH(QString, reason);
    QTcpServer silent;
    QString path;
    if (certificate == QStringLiteral("silent")) {
        // The system accepts the connection; nothing ever answers on it.
        silent.setMaxPendingConnections(0);
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        silent.pauseAccepting();
        path = QStringLiteral("tls://127.0.0.1:%1?ca=%2")
                   .arg(silent.serverPort())
                   .arg(FCertificates.Pem(QStringLiteral("ca")));
    } else {
        QVERIFY(StartServer(protocol, certificate, clientAuth));
        path = TlsPath(QStringLiteral("ca"), false, more);
    }
    QVERIFY(StartWizard(path));
    TMainLindqvarForm &w = F->Main();
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QCOMPARE(Ui(w).Label7->text(), QStringLiteral("COM-порт занят"));
    const QString expected =
        path + QStringLiteral(": ") +
        (reason.contains(QStringLiteral("%1"))
             ? reason.arg(FCertificates.Fingerprint(QStringLiteral("stranger")))
             : reason);
    QVERIFY2(OpenFailureReason().contains(expected),
             qPrintable(OpenFailureReason() + u'\n' + expected));
    QVERIFY(!F->LogHas(QStringLiteral("COM порт успешно открыт")));
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // cancel
    QCOMPARE(w.Session().CommandState(), TCommandState::Idle);
}

void TstTlsLink::serverGoneAndBack()
{
    QVERIFY(StartServer(TSer2Net::TProtocol::Rfc2217, QStringLiteral("server"), false));
    QVERIFY(StartWizard(TlsPath(QStringLiteral("ca"), false)));
    QVERIFY(F->InstallSetupDemo(QStringLiteral("--port 1 --forever")));
    // The server stays away for half a second of reopen attempts, then comes back.
    QVERIFY(RunServerGoneAndBack(*F, *FServer));
}

QTEST_MAIN(TstTlsLink)
#include "tst_tls_link.moc"
