// The telnet codec of RFC 2217: the byte stream both ways and the option negotiation, without a
// socket.
#include "line/network/TelnetCodec.h"

#include <QTest>

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
    void dataPassesUnchanged();
    void negotiationAcceptsOnlyItsOptions_data();
    void negotiationAcceptsOnlyItsOptions();
    void comPortAgreementAndRefusal();
    void commandsAreWellFormed();
};

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
