// Finding serial hardware in sysfs and adding it to the port map, on a tree the test builds.
#include "line/LineKinds.h"
#include "ports/COMUtils.h"
#include "ports/PortDiscovery.h"
#include "ports/PortMap.h"
#include "settings/Paths.h"
#include "support/FakeSysfs.h"
#include "support/FileSizeLimit.h"
#include "support/Pty.h"
#include "support/ResultCheck.h"
#include "support/TempConfig.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>
#include <stdexcept>

namespace
{

const QString usbDevice = "pci0000:00/0000:00:14.0/usb1/1-1";
const QString usbPort = usbDevice + "/1-1:1.0/ttyUSB0";
const QString byId = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

// Two real UARTs (one known by its type attribute, one by its driver), two phantoms (type 0, and
// a serial8250 slot that cannot answer), a USB adapter with a by-id link, an ACM modem, a virtual
// console and an adapter whose node udev has not made yet.
bool buildMachine(TFakeSysfs &tree)
{
    return tree.AddTty("ttyS0", "pnp0/00:04", "pnp", "serial", "4") &&
           tree.AddTty("ttyS1", "platform/serial8250", "platform", "serial8250", "0") &&
           tree.AddTty("ttyS2", "platform/serial8250", "platform", "serial8250") &&
           tree.AddTty("ttyS3", "pnp0/00:05", "pnp", "serial") &&
           tree.AddTty("ttyUSB0", usbPort, "usb-serial", "ftdi_sio") &&
           tree.SetProduct(usbDevice, "FT232R USB UART") && tree.AddById(byId, "ttyUSB0") &&
           tree.AddTty("ttyACM0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb", "cdc_acm") &&
           tree.AddVirtualTty("tty1") &&
           tree.AddTty("ttyUSB1", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1", "usb-serial",
                       "pl2303", {}, false);
}

// Discovery that also saved what it found.
TResult discoverAndSave(QList<TPortMapEntry> &entries)
{
    TResult saved = TResult::Success();
    const TResult read = PortMap::Discover(entries, saved);
    return read ? saved : read;
}

} // namespace

class TstPortDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void findsRealHardwareOnly();
    void keepsUserLinesAndNumbersAroundThem();
    void knownDevicesAreNotAddedAgain();
    void replugKeepsItsName();
    void describesDevices();
    void presenceTestNeverDiscovers();
    void unsavableMapStillListsWhatItHolds();

private:
    // Every case has a private config and the machine's tree in it.
    std::unique_ptr<TTempConfig> FConfig;
    std::unique_ptr<TFakeSysfs> FTree;
};

void TstPortDiscovery::init()
{
    FConfig = std::make_unique<TTempConfig>();
    QVERIFY(FConfig->IsValid());
    FTree = std::make_unique<TFakeSysfs>(FConfig->SysRoot(), FConfig->DevRoot());
    QVERIFY(buildMachine(*FTree));
}

void TstPortDiscovery::cleanup()
{
    FTree.reset();
    FConfig.reset();
}

void TstPortDiscovery::findsRealHardwareOnly()
{

    QList<TPortMapEntry> entries;
    QVERIFY_OK(discoverAndSave(entries));
    const QString dev = FConfig->DevRoot();
    const QList<TPortMapEntry> expected = {{"COM1", dev + "/ttyS0"},
                                           {"COM4", dev + "/ttyS3"},
                                           {"COM3", dev + "/ttyACM0"},
                                           {"COM5", dev + "/serial/by-id/" + byId}};
    QCOMPARE(entries, expected);
    // What was returned is what the file now says.
    QList<TPortMapEntry> stored;
    QVERIFY_OK(PortMap::Load(stored));
    QCOMPARE(stored, expected);

    // A second run finds nothing new and leaves the file as it is.
    QFile file(FConfig->ConfigDir() + "ports.conf");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    QVERIFY_OK(discoverAndSave(entries));
    QCOMPARE(entries, expected);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
}

void TstPortDiscovery::keepsUserLinesAndNumbersAroundThem()
{
    const QStringList mine = {"# my ports", "COM3=/dev/pts/77", "not a line", "COM1=/elsewhere",
                              "COM5=/dev/ttyS9 # spare"};
    QVERIFY(FConfig->WritePortMap(mine));

    QList<TPortMapEntry> entries;
    QVERIFY_OK(discoverAndSave(entries));
    // COM1 is taken, so the first UART gets the lowest free number from COM3 up, and the second
    // UART, whose own number that took, the next one.
    const QString dev = FConfig->DevRoot();
    const QStringList expected =
        mine + QStringList{"COM4=" + dev + "/ttyS0", "COM6=" + dev + "/ttyS3",
                           "COM7=" + dev + "/ttyACM0", "COM8=" + dev + "/serial/by-id/" + byId};
    QCOMPARE(FConfig->ReadPortMap(), expected);
    QCOMPARE(entries.size(), 7);
    QCOMPARE(entries.first(), (TPortMapEntry{"COM3", "/dev/pts/77"}));
}

void TstPortDiscovery::knownDevicesAreNotAddedAgain()
{
    // The user named the adapter by its plain node and the modem through a link of their own;
    // the last line has no newline at its end.
    const QString link = FConfig->Root() + "/modem";
    QVERIFY(QFile::link(FConfig->DevRoot() + "/ttyACM0", link));
    QVERIFY(FConfig->WritePortMap({"COM9=" + FConfig->DevRoot() + "/ttyUSB0", "COM2=" + link}));
    QFile file(FConfig->ConfigDir() + "ports.conf");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(file.size() - 1));
    file.close();

    QList<TPortMapEntry> entries;
    QVERIFY_OK(discoverAndSave(entries));
    QCOMPARE(FConfig->ReadPortMap(),
             (QStringList{"COM9=" + FConfig->DevRoot() + "/ttyUSB0", "COM2=" + link,
                          "COM1=" + FConfig->DevRoot() + "/ttyS0",
                          "COM4=" + FConfig->DevRoot() + "/ttyS3"}));
}

void TstPortDiscovery::replugKeepsItsName()
{
    QList<TPortMapEntry> entries;
    QVERIFY_OK(discoverAndSave(entries));
    const QStringList before = FConfig->ReadPortMap();

    // Unplugged, then plugged into another socket: the kernel names it ttyUSB2 now.
    QVERIFY(FTree->RemoveTty("ttyUSB0"));
    QVERIFY(QFile::remove(FConfig->DevRoot() + "/serial/by-id/" + byId));
    QVERIFY_OK(discoverAndSave(entries));
    QVERIFY(FTree->AddTty("ttyUSB2", "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB2",
                          "usb-serial", "ftdi_sio"));
    QVERIFY(FTree->AddById(byId, "ttyUSB2"));
    QVERIFY_OK(discoverAndSave(entries));
    QCOMPARE(FConfig->ReadPortMap(), before);
    QCOMPARE(QFileInfo(PortMap::PathOf(entries, "COM5")).canonicalFilePath(),
             QFileInfo(FConfig->DevRoot() + "/ttyUSB2").canonicalFilePath());
}

void TstPortDiscovery::describesDevices()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    const QString sys = FConfig->SysRoot();
    const QString dev = FConfig->DevRoot();
    QCOMPARE(LineKinds::Describe(sys, dev + "/ttyUSB0"), QString("FT232R USB UART"));
    QCOMPARE(LineKinds::Describe(sys, dev + "/serial/by-id/" + byId), QString("FT232R USB UART"));
    QCOMPARE(LineKinds::Describe(sys, dev + "/ttyACM0"), QString("cdc_acm"));
    QCOMPARE(LineKinds::Describe(sys, dev + "/ttyS0"), QString("serial"));
    QCOMPARE(LineKinds::Describe(sys, dev + "/tty1"), dev + "/tty1");
    QCOMPARE(LineKinds::Describe(sys, dev + "/gone"), dev + "/gone");
    QCOMPARE(LineKinds::Describe(sys, pty.SlavePath()), pty.SlavePath());
}

void TstPortDiscovery::presenceTestNeverDiscovers()
{
    QVERIFY(!IsCOMPortPresent("COM1"));
    QStringList names{"old"};
    GetPortFriendlyNames(names);
    QVERIFY(names.isEmpty());
    QVERIFY(!QFile::exists(FConfig->ConfigDir() + "ports.conf"));
}

void TstPortDiscovery::unsavableMapStillListsWhatItHolds()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(FConfig->WritePortMap({"COM9=" + pty.SlavePath()}));
    QFile file(Paths::PortMapFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    // New hardware is found but cannot be added: the disk takes no more than the map holds now
    // (the part of a write that fits must not pass for the whole of it).
    QStringList list{"COM42"};
    TResult discovery = TResult::Success();
    {
        FileSizeLimit full(16);
        QVERIFY(full.active());
        GetDosDevices(list, "COM", &discovery);
    }
    QCOMPARE(list, QStringList{"COM9"});
    QVERIFY(!discovery);
    QVERIFY2(discovery.Reason().contains(Paths::PortMapFile()), qPrintable(discovery.Reason()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();

    // A map that cannot be read at all still raises, and the list keeps what it had.
    QVERIFY(file.remove());
    QVERIFY(QDir().mkpath(Paths::PortMapFile()));
    bool raised = false;
    try {
        GetDosDevices(list, "COM", &discovery);
    } catch (const std::runtime_error &) {
        raised = true;
    }
    QVERIFY(raised);
    QCOMPARE(list, QStringList{"COM9"});
}

QTEST_GUILESS_MAIN(TstPortDiscovery)
#include "tst_portdiscovery.moc"
