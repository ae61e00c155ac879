// The table of line kinds: which kind a port-map path names, whether it is well formed, whether
// the line sets its speed, how the port list describes it, and where a network line leads.
#include "line/LineKinds.h"
#include "line/network/NetAddress.h"

#include <QTest>

class TstLineKinds : public QObject
{
    Q_OBJECT

private slots:
    void kinds_data();
    void kinds();
};

void TstLineKinds::kinds_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("scheme"); // "-": a path of no kind
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("setsSpeed");
    // Of a network line: where it leads, and whether it is there with nothing open and no
    // listener running.
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("present");
    // clang-format off
    QTest::newRow("device file") << "/dev/ttyUSB0" << "" << true << true << "" << 0 << false;
    QTest::newRow("stable link") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0" << "" << true << true << "" << 0 << false;
    QTest::newRow("ipv4") << "rfc2217://127.0.0.1:4001" << "rfc2217" << true << true << "127.0.0.1" << 4001 << true;
    QTest::newRow("name, raw") << "tcp://router.local:23" << "tcp" << true << false << "router.local" << 23 << true;
    QTest::newRow("ipv6, any case") << "RFC2217://[::1]:65535/" << "rfc2217" << true << true << "::1" << 65535 << true;
    QTest::newRow("bare ipv6") << "tcp://::1:23" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("no port") << "rfc2217://host" << "rfc2217" << false << true << "" << 0 << false;
    QTest::newRow("port 0") << "tcp://host:0" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("port too big") << "tcp://host:65536" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("sign") << "tcp://host:+23" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("user part") << "tcp://me@host:23" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("blank") << "tcp://ho st:23" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("options on a clear line") << "rfc2217://127?.0.0.1:4001" << "rfc2217" << false << true << "" << 0 << false;
    QTest::newRow("path") << "tcp://host/x:23" << "tcp" << false << false << "" << 0 << false;
    QTest::newRow("rfc2217 over tls") << "rfc2217+tls://nport.local:4001?ca=/etc/lindqvar/nport.pem&name=nport" << "rfc2217+tls" << true << true << "nport.local" << 4001 << true;
    QTest::newRow("tls, client certificate") << "TLS://[::1]:4002?cert=/c.pem&key=/c.key" << "tls" << true << false << "::1" << 4002 << true;
    QTest::newRow("tls, system store") << "tls://127.0.0.1:4002" << "tls" << true << false << "127.0.0.1" << 4002 << true;
    QTest::newRow("tls, relative file") << "tls://h:1?ca=ca.pem" << "tls" << false << false << "" << 0 << false;
    QTest::newRow("tls, certificate without key") << "tls://h:1?cert=/c.pem" << "tls" << false << false << "" << 0 << false;
    QTest::newRow("tls, option twice") << "tls://h:1?ca=/a&ca=/b" << "tls" << false << false << "" << 0 << false;
    QTest::newRow("tls, unknown option") << "rfc2217+tls://h:1?verify=no" << "rfc2217+tls" << false << true << "" << 0 << false;
    QTest::newRow("tls, name with a blank") << "tls://h:1?name=a b" << "tls" << false << false << "" << 0 << false;
    QTest::newRow("clear text with options") << "rfc2217://h:1?ca=/a" << "rfc2217" << false << true << "" << 0 << false;
    QTest::newRow("call-in") << "listen://0.0.0.0:5000?id=860000000000001" << "listen" << true << false << "" << 0 << false;
    QTest::newRow("call-in, all options") << "LISTEN://[::]:5000?id=hex:01FF&heartbeat=PING&from=127.0.0.0/8&from=[::1]" << "listen" << true << false << "" << 0 << false;
    QTest::newRow("call-in, bare") << "listen://127.0.0.1:5000" << "listen" << true << false << "" << 0 << false;
    QTest::newRow("call-in, a name") << "listen://router.local:5000" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("call-in, empty id") << "listen://0.0.0.0:5000?id=" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("call-in, two ids") << "listen://0.0.0.0:5000?id=a&id=b" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("call-in, bad hex") << "listen://0.0.0.0:5000?id=hex:0G" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("call-in, bad from") << "listen://0.0.0.0:5000?from=127.0.0.1/33" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("call-in, unknown option") << "listen://0.0.0.0:5000?ids=1" << "listen" << false << false << "" << 0 << false;
    QTest::newRow("other scheme") << "telnet://host:23" << "-" << false << false << "" << 0 << false;
    QTest::newRow("relative") << "ttyUSB0" << "-" << false << false << "" << 0 << false;
    QTest::newRow("empty") << "" << "-" << false << false << "" << 0 << false;
    // clang-format on
}

void TstLineKinds::kinds()
{
    QFETCH(QString, path);
    QFETCH(QString, scheme);
    QFETCH(bool, valid);
    QFETCH(bool, setsSpeed);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, present);

    const TLineKind *kind = LineKinds::Of(path);
    QCOMPARE(kind == nullptr, scheme == "-");
    QCOMPARE(LineKinds::Valid(path), valid);
    if (kind != nullptr) {
        QCOMPARE(QString::fromUtf8(kind->Scheme), scheme);
        QCOMPARE(kind->SetsSpeed, setsSpeed);
    }
    if (!valid) {
        // Never opened, and the reason names the forms that would be understood.
        const auto opened = LineKinds::Open(path);
        QCOMPARE(opened.Fault(), TFault::Invalid);
        QCOMPARE(opened.Reason(), path + ": адрес не понят (нужно rfc2217://хост:порт или "
                                         "rfc2217+tls://хост:порт?ca=... или tcp://хост:порт или "
                                         "tls://хост:порт?ca=... или listen://адрес:порт?id=...)");
        QVERIFY(!LineKinds::IsPresent(path));
        return;
    }
    // A device file the port list cannot tell more of, and a network line, are described by
    // their path.
    QCOMPARE(LineKinds::Describe(QStringLiteral("/nonexistent-sys"), path), path);
    if (scheme.isEmpty())
        return;
    QCOMPARE(LineKinds::IsPresent(path), present);
    if (!host.isEmpty()) {
        const std::optional<TNetAddress> address =
            ParseNetAddress(QStringView(path).mid(scheme.size() + 3).split(u'?').first());
        QVERIFY(address.has_value());
        QCOMPARE(address->Host, host);
        QCOMPARE(int(address->Port), port);
    }
}

QTEST_GUILESS_MAIN(TstLineKinds)
#include "tst_linekinds.moc"
