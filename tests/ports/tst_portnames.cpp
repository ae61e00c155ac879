// The port map file, the device-name listing and its walk, friendly names and the presence test.
#include "ports/COMUtils.h"
#include "ports/PortMap.h"
#include "support/Pty.h"
#include "support/TempConfig.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <stdexcept>

class TstPortNames : public QObject
{
    Q_OBJECT

private slots:
    void parseKeepsValidLinesInOrder();
    void nextDeviceNameWalk();
    void nextDeviceNameRejectsPositionBelowOne();
    void listingHoldsPresentPortsByPrefix();
    void friendlyNamesAndPresence();
    void unreadableMapFailsEverywhere();
};

void TstPortNames::parseKeepsValidLinesInOrder()
{
    const QByteArray text = "# ports\r\n"
                            "COM7=/dev/ttyUSB0\r\n"
                            "  COM2 =  /dev/ttyS1   # the UART\n"
                            "\n"
                            "COM3\n"
                            "COM4=\n"
                            "COM5=dev/relative\n"
                            "COMX=/dev/x\n"
                            "COM0=/dev/zero\n"
                            "COM01=/dev/one\n"
                            "LPT1=/dev/lp0\n"
                            "=/dev/nothing\n"
                            "com7=/dev/second-com7\n"
                            "com12=/dev/serial/by-id/usb-Прибор=2\n"
                            "COM2=/dev/second-com2\n"
                            "#COM9=/dev/commented\n"
                            "COM20=rfc2217://[::1]:4001\n"
                            "COM21=tcp://router.example:2001\n"
                            "COM22=rfc2217://no-port\n"
                            "COM23=ftp://files:21\n"
                            "COM99999999999=/dev/huge";
    const QList<TPortMapEntry> expected = {{"COM7", "/dev/ttyUSB0"},
                                           {"COM2", "/dev/ttyS1"},
                                           {"com12", "/dev/serial/by-id/usb-Прибор=2"},
                                           {"COM20", "rfc2217://[::1]:4001"},
                                           {"COM21", "tcp://router.example:2001"}};
    QCOMPARE(PortMap::Parse(text), expected);
    QCOMPARE(PortMap::PathOf(expected, "COM12"), QString("/dev/serial/by-id/usb-Прибор=2"));
    QCOMPARE(PortMap::PathOf(expected, "COM1"), QString());
    QVERIFY(PortMap::Parse({}).isEmpty());
}

void TstPortNames::nextDeviceNameWalk()
{
    const QString text = QStringLiteral("COM1") + QChar(0) + "LPT12" + QChar(0) + QChar(0);
    int pos = 1;
    QString name = "x";
    NextDeviceName(text, pos, name);
    QCOMPARE(name, QString("COM1"));
    QCOMPARE(pos, 6);
    NextDeviceName(text, pos, name);
    QCOMPARE(name, QString("LPT12"));
    QCOMPARE(pos, 12);
    // The closing NUL ends the walk with an empty name.
    NextDeviceName(text, pos, name);
    QCOMPARE(name, QString());
    QCOMPARE(pos, 13);
    // Past the end: empty, position unchanged.
    pos = 40;
    NextDeviceName(text, pos, name);
    QCOMPARE(name, QString());
    QCOMPARE(pos, 40);
    // No NUL after the position: empty, back to the start.
    pos = 2;
    NextDeviceName("COM3", pos, name);
    QCOMPARE(name, QString());
    QCOMPARE(pos, 1);
}

void TstPortNames::nextDeviceNameRejectsPositionBelowOne()
{
    for (int start : {0, -1}) {
        int pos = start;
        QString name = "kept";
        try {
            NextDeviceName(QStringLiteral("COM1") + QChar(0), pos, name);
            QFAIL("no exception");
        } catch (const std::out_of_range &e) {
            QCOMPARE(QString::fromUtf8(e.what()), QString("aStartPos должен быть больше 0"));
        }
        QCOMPARE(pos, start);
    }
}

void TstPortNames::listingHoldsPresentPortsByPrefix()
{
    TTempConfig config;
    TPty a, b, c;
    QVERIFY(config.IsValid() && a.IsValid() && b.IsValid() && c.IsValid());
    const QString link = config.Root() + "/to-a";
    QVERIFY(QFile::link(a.SlavePath(), link));
    QFile plain(config.Root() + "/plain");
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    // a and b are unplugged below: their lines name links of this test, not pty numbers.
    QVERIFY(config.WritePortMap({"COM10=" + b.StablePath(config.Root()),
                                 "COM4=" + config.Root() + "/missing", "COM5=" + config.Root(),
                                 "COM6=" + config.Root() + "/plain", "com3=" + c.SlavePath(),
                                 "COM1=" + a.StablePath(config.Root()), "COM7=" + link}));
    QStringList list{"stale"};
    GetDosDevices(list, "COM");
    QCOMPARE(list, (QStringList{"COM10", "COM1", "COM7"}));
    GetDosDevices(list, "com");
    QCOMPARE(list, QStringList{"com3"});
    GetDosDevices(list, "COM1");
    QCOMPARE(list, (QStringList{"COM10", "COM1"}));
    GetDosDevices(list, "");
    QCOMPARE(list, (QStringList{"COM10", "com3", "COM1", "COM7"}));

    a.Unplug();
    GetDosDevices(list, "COM");
    QCOMPARE(list, QStringList{"COM10"});
    b.Unplug();
    GetDosDevices(list, "COM");
    QVERIFY(list.isEmpty());
}

void TstPortNames::friendlyNamesAndPresence()
{
    TTempConfig config;
    TPty twelve, three;
    QVERIFY(config.IsValid() && twelve.IsValid() && three.IsValid());
    const QString twelvePath = twelve.StablePath(config.Root());
    QVERIFY(config.WritePortMap(
        {"COM1=" + config.Root() + "/absent", "COM12=" + twelvePath, "COM3=" + three.SlavePath()}));
    QStringList lines{"old"};
    GetPortFriendlyNames(lines);
    QCOMPARE(lines,
             (QStringList{"0: " + twelvePath + " (COM12)", "1: " + three.SlavePath() + " (COM3)"}));

    QVERIFY(IsCOMPortPresent("COM12"));
    QVERIFY(IsCOMPortPresent("com3"));
    // The whole name counts: a pulled COM1 is not taken for present inside (COM12), nor is a
    // piece of a name.
    QVERIFY(!IsCOMPortPresent("COM1"));
    QVERIFY(!IsCOMPortPresent("OM12"));
    QVERIFY(!IsCOMPortPresent("COM2"));
    QVERIFY(!IsCOMPortPresent(""));

    twelve.Unplug();
    QVERIFY(!IsCOMPortPresent("COM12"));
    QVERIFY(!IsCOMPortPresent("COM1"));
    QVERIFY(IsCOMPortPresent("COM3"));
    GetPortFriendlyNames(lines);
    QCOMPARE(lines, QStringList{"0: " + three.SlavePath() + " (COM3)"});
    // Removing the line unplugs the port just as well.
    QVERIFY(config.WritePortMap({"COM4=" + three.SlavePath()}));
    QVERIFY(!IsCOMPortPresent("COM3"));
}

void TstPortNames::unreadableMapFailsEverywhere()
{
    TTempConfig config;
    TPty pty;
    QVERIFY(config.IsValid() && pty.IsValid());
    // A directory where the map file should be.
    QVERIFY(QDir().mkpath(config.ConfigDir() + "ports.conf"));

    QStringList list{"COM9"};
    bool raised = false;
    try {
        GetDosDevices(list, "COM");
    } catch (const std::runtime_error &e) {
        raised = true;
        QVERIFY2(QString::fromUtf8(e.what()).contains("ports.conf"), e.what());
    }
    QVERIFY(raised);
    QCOMPARE(list, QStringList{"COM9"});

    THandle handle = 3;
    const TResult refused = OpenCOMPort("COM9", 9600, handle);
    QVERIFY(!refused);
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    QVERIFY(refused.Reason().contains("ports.conf"));
    QVERIFY(!IsCOMPortPresent("COM9"));
    GetPortFriendlyNames(list);
    QVERIFY(list.isEmpty());
}

QTEST_GUILESS_MAIN(TstPortNames)
#include "tst_portnames.moc"
