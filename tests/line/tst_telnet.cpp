// The network line's two pure parts: the port-map address of a server, and the telnet codec of
// RFC 2217 (the byte stream both ways and the option negotiation, without a socket).
#include "line/network/NetAddress.h"
#include "line/network/TelnetCodec.h"

#include <QTest>

Q_DECLARE_METATYPE(TNetAddress::TKind)

namespace
{

// The codec fed one byte at a time, so that every sequence is cut at every place.
void DecodeByteByByte(TTelnetCodec &codec, const QByteArray &wire, QByteArray &data,
                      QByteArray &replies)
{
    for (const char byte : wire)
        codec.Decode(&byte, 1, data, replies);
}

QByteArray Iac(std::initializer_list<int> bytes)
{
    QByteArray out;
    for (const int b : bytes)
        out.append(char(b));
    return out;
}

} // namespace

class TstTelnet : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void dataPassesUnchanged();
    void negotiationAcceptsOnlyItsOptions_data();
    void negotiationAcceptsOnlyItsOptions();
    void comPortAgreementAndRefusal();
    void commandsAreWellFormed();
};

void TstTelnet::addresses_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<TNetAddress::TKind>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    using K = TNetAddress::TKind;
    QTest::newRow("ipv4") << "rfc2217://127.0.0.1:4001" << true << K::Rfc2217 << "127.0.0.1"
                          << 4001;
    QTest::newRow("name, raw") << "tcp://router.local:23" << true << K::RawTcp << "router.local"
                               << 23;
    QTest::newRow("ipv6") << "RFC2217://[::1]:65535/" << true << K::Rfc2217 << "::1" << 65535;
    QTest::newRow("bare ipv6") << "tcp://::1:23" << false << K::RawTcp << "" << 0;
    QTest::newRow("no port") << "tcp://host" << false << K::RawTcp << "" << 0;
    QTest::newRow("port 0") << "tcp://host:0" << false << K::RawTcp << "" << 0;
    QTest::newRow("port too big") << "tcp://host:65536" << false << K::RawTcp << "" << 0;
    QTest::newRow("sign") << "tcp://host:+23" << false << K::RawTcp << "" << 0;
    QTest::newRow("user part") << "tcp://me@host:23" << false << K::RawTcp << "" << 0;
    QTest::newRow("blank") << "tcp://ho st:23" << false << K::RawTcp << "" << 0;
    QTest::newRow("path") << "tcp://host/x:23" << false << K::RawTcp << "" << 0;
    QTest::newRow("other scheme") << "telnet://host:23" << false << K::RawTcp << "" << 0;
}

void TstTelnet::addresses()
{
    QFETCH(QString, path);
    QFETCH(bool, valid);
    QVERIFY(IsNetPath(path));
    const std::optional<TNetAddress> address = ParseNetPath(path);
    QCOMPARE(address.has_value(), valid);
    if (!valid)
        return;
    QFETCH(TNetAddress::TKind, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QCOMPARE(address->Kind, kind);
    QCOMPARE(address->Host, host);
    QCOMPARE(int(address->Port), port);
    QVERIFY(!IsNetPath(QStringLiteral("/dev/ttyUSB0")));
}

void TstTelnet::dataPassesUnchanged()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QByteArray wire;
    TTelnetCodec::EncodeData(all.constData(), all.size(), wire);
    QCOMPARE(wire.size(), 257);
    QCOMPARE(wire.right(2), Iac({255, 255}));

    // The server's notices and answers come between the data, cut anywhere: none reaches it.
    const QByteArray notices = Iac({255, 250, 44,  107, 0x30, 255, 240, // modem state
                                    255, 250, 44,  101, 0,    0,   255, 255, 255, 255, 240, // baud
                                    255, 241, 255, 249}); // NOP, GA
    TTelnetCodec codec;
    QByteArray data;
    QByteArray replies;
    DecodeByteByByte(codec, notices + wire.left(100) + notices + wire.mid(100) + notices, data,
                     replies);
    QCOMPARE(data, all);
    QVERIFY(replies.isEmpty());
}

void TstTelnet::negotiationAcceptsOnlyItsOptions_data()
{
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("echo offered") << Iac({255, 251, 1}) << Iac({255, 254, 1});
    QTest::newRow("terminal type asked") << Iac({255, 253, 24}) << Iac({255, 252, 24});
    QTest::newRow("binary confirmed") << Iac({255, 251, 0, 255, 253, 0}) << QByteArray();
    QTest::newRow("binary ended") << Iac({255, 252, 0, 255, 252, 0}) << Iac({255, 254, 0});
    QTest::newRow("refused twice")
        << Iac({255, 251, 1, 255, 251, 1}) << Iac({255, 254, 1, 255, 254, 1});
    QTest::newRow("no go-ahead, then stop") << Iac({255, 254, 3}) << Iac({255, 252, 3});
}

void TstTelnet::negotiationAcceptsOnlyItsOptions()
{
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, answer);
    TTelnetCodec codec;
    QCOMPARE(codec.Greeting(),
             Iac({255, 251, 44, 255, 251, 0, 255, 251, 3, 255, 253, 0, 255, 253, 3}));
    QByteArray data;
    QByteArray replies;
    DecodeByteByByte(codec, server, data, replies);
    QCOMPARE(replies, answer);
    QVERIFY(data.isEmpty());
}

void TstTelnet::comPortAgreementAndRefusal()
{
    TTelnetCodec agreed;
    QByteArray data;
    QByteArray replies;
    (void)agreed.Greeting();
    QCOMPARE(agreed.ComPort(), TTelnetCodec::TComPort::Pending);
    agreed.Decode("\xff\xfd\x2c", 3, data, replies);
    QCOMPARE(agreed.ComPort(), TTelnetCodec::TComPort::Accepted);
    QVERIFY(replies.isEmpty()); // already offered

    TTelnetCodec refused;
    (void)refused.Greeting();
    refused.Decode("\xff\xfe\x2c", 3, data, replies);
    QCOMPARE(refused.ComPort(), TTelnetCodec::TComPort::Refused);
    QCOMPARE(replies, Iac({255, 252, 44}));
}

void TstTelnet::commandsAreWellFormed()
{
    // A value byte of 0xFF is doubled inside the subnegotiation.
    QCOMPARE(TTelnetCodec::SetBaudRate(0x0001C2FF),
             Iac({255, 250, 44, 1, 0, 1, 0xC2, 255, 255, 255, 240}));
    using C = TTelnetCodec::TComPortCommand;
    QCOMPARE(TTelnetCodec::ComPortCommand(C::SetControl, 9), Iac({255, 250, 44, 5, 9, 255, 240}));
    QCOMPARE(TTelnetCodec::ComPortCommand(C::PurgeData, 255),
             Iac({255, 250, 44, 12, 255, 255, 255, 240}));
}

QTEST_MAIN(TstTelnet)
#include "tst_telnet.moc"
