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
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("device file") << "/dev/ttyUSB0"
                                 << "" << true << true << "" << 0;
    QTest::newRow("stable link") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                                 << "" << true << true << "" << 0;
    QTest::newRow("ipv4") << "rfc2217://127.0.0.1:4001"
                          << "rfc2217" << true << true << "127.0.0.1" << 4001;
    QTest::newRow("name, raw") << "tcp://router.local:23"
                               << "tcp" << true << false << "router.local" << 23;
    QTest::newRow("ipv6, any case") << "RFC2217://[::1]:65535/"
                                    << "rfc2217" << true << true << "::1" << 65535;
    QTest::newRow("bare ipv6") << "tcp://::1:23"
                               << "tcp" << false << false << "" << 0;
    QTest::newRow("no port") << "rfc2217://host"
                             << "rfc2217" << false << true << "" << 0;
    QTest::newRow("port 0") << "tcp://host:0"
                            << "tcp" << false << false << "" << 0;
    QTest::newRow("port too big") << "tcp://host:65536"
                                  << "tcp" << false << false << "" << 0;
    QTest::newRow("sign") << "tcp://host:+23"
                          << "tcp" << false << false << "" << 0;
    QTest::newRow("user part") << "tcp://me@host:23"
                               << "tcp" << false << false << "" << 0;
    QTest::newRow("blank") << "tcp://ho st:23"
                           << "tcp" << false << false << "" << 0;
    QTest::newRow("path") << "tcp://host/x:23"
                          << "tcp" << false << false << "" << 0;
    QTest::newRow("other scheme") << "telnet://host:23"
                                  << "-" << false << false << "" << 0;
    QTest::newRow("relative") << "ttyUSB0"
                              << "-" << false << false << "" << 0;
    QTest::newRow("empty") << ""
                           << "-" << false << false << "" << 0;
}

void TstLineKinds::kinds()
{
    QFETCH(QString, path);
    QFETCH(QString, scheme);
    QFETCH(bool, valid);
    QFETCH(bool, setsSpeed);
    QFETCH(QString, host);
    QFETCH(int, port);

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
        QCOMPARE(opened.Reason(),
                 path + ": адрес не понят (нужно rfc2217://хост:порт или tcp://хост:порт)");
        QVERIFY(!LineKinds::IsPresent(path));
        return;
    }
    // A device file the port list cannot tell more of, and a network line, are described by
    // their path.
    QCOMPARE(LineKinds::Describe(QStringLiteral("/nonexistent-sys"), path), path);
    if (!scheme.isEmpty()) {
        const std::optional<TNetAddress> address =
            ParseNetAddress(QStringView(path).mid(scheme.size() + 3));
        QVERIFY(address.has_value());
        QCOMPARE(address->Host, host);
        QCOMPARE(int(address->Port), port);
        QVERIFY(LineKinds::IsPresent(path)); // configured and never lost
    }
}

QTEST_GUILESS_MAIN(TstLineKinds)
#include "tst_linekinds.moc"
