#include "controls/ComboItems.h"
#include "settings/PortSettings.h"
#include "settings/StoredSettings.h"
#include "support/ConfigTest.h"
#include "support/SettingsFiles.h"

#include <QComboBox>
#include <QSettings>
#include <QtTest>

namespace
{

// The main window's two lists as the port refresh leaves them: the first port selected.
struct Lists {
    QComboBox ports;
    QComboBox types;
    Lists()
    {
        ports.addItems({QStringLiteral("COM1"), QStringLiteral("COM3"), QStringLiteral("COM12")});
        types.addItems({QStringLiteral("CSD (GSM-модем)"), QStringLiteral("USB/COM (кабель)")});
    }
};

} // namespace

class TstPortSettings : public TConfigTest
{
    Q_OBJECT

private slots:
    void storedSettingsTable_data();
    void storedSettingsTable();
    void selectComboItemIgnoresCase();
    void cleanStartKeepsTheDefaults();
    void storedPortAndType_data();
    void storedPortAndType();
    void wrongTypeKeepsWhatWasApplied();
    void savedSettingsComeBack();
    void refusedSaveIsReported();
};

void TstPortSettings::storedSettingsTable_data()
{
    QTest::addColumn<int>("setting");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("fallback"); // the value while none is stored
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("corrupt");
    QTest::newRow("port") << int(TSetting::Port) << 0 << "COM" << QVariant()
                          << QVariant(QStringLiteral("COM12")) << QByteArray("COM=COM3,COM1\n");
    QTest::newRow("connection type")
        << int(TSetting::ConnectionType) << 0 << "CHANNEL" << QVariant(0) << QVariant(-1)
        << QByteArray("CHANNEL=cable\n");
    QTest::newRow("third phone number")
        << int(TSetting::Phone) << 2 << "phone3" << QVariant()
        << QVariant(QStringLiteral(" +7 900 ")) << QByteArray("phone3=1,2\n");
}

void TstPortSettings::storedSettingsTable()
{
    QFETCH(int, setting);
    QFETCH(int, index);
    QFETCH(QString, key);
    QFETCH(QVariant, fallback);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, corrupt);
    const auto which = TSetting(setting);
    QCOMPARE(TStoredSettings::Key(which, index), key);
    {
        const TStoredSettings empty;
        QVERIFY(!empty.Has(which, index));
        QCOMPARE(empty.Value(which, index), fallback);
    }
    TStoredSettings().SetValue(which, value, index);
    {
        const TStoredSettings stored;
        QVERIFY(stored.Has(which, index));
        QCOMPARE(stored.Value(which, index), value);
    }
    QVERIFY(writeSettingsFile(corrupt));
    QCOMPARE(raisedText([&] { (void)TStoredSettings().Value(which, index); }),
             QStringLiteral("Invalid data type for '%1'").arg(key));
}

void TstPortSettings::selectComboItemIgnoresCase()
{
    QComboBox combo;
    combo.addItems({QStringLiteral("COM1"), QStringLiteral("COM3"), QStringLiteral("com3"),
                    QStringLiteral("COM30")});
    SelectComboItem(&combo, QStringLiteral("com3"));
    QCOMPARE(combo.currentIndex(), 1);
    SelectComboItem(&combo, QStringLiteral("COM4"));
    QCOMPARE(combo.currentIndex(), 1);
    SelectComboItem(&combo, QStringLiteral("com"));
    QCOMPARE(combo.currentIndex(), 1);
    SelectComboItem(&combo, QStringLiteral("Com30"));
    QCOMPARE(combo.currentIndex(), 3);
}

void TstPortSettings::cleanStartKeepsTheDefaults()
{
    Lists lists;
    LoadPortSettings(&lists.ports, &lists.types);
    QCOMPARE(lists.ports.currentText(), QStringLiteral("COM1"));
    QCOMPARE(lists.types.currentIndex(), 0);
    QCOMPARE(readSettingsFile(), QByteArray());
}

void TstPortSettings::storedPortAndType_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("type");
    QTest::newRow("lower-case port, cable") << QByteArray("COM=com3\nCHANNEL=1\n") << "COM3" << 1;
    QTest::newRow("port gone, modem") << QByteArray("COM=COM7\nCHANNEL=0\n") << "COM1" << 0;
    QTest::newRow("empty port") << QByteArray("COM=\n") << "COM1" << 0;
    QTest::newRow("type out of range") << QByteArray("COM=COM12\nCHANNEL=7\n") << "COM12" << -1;
    QTest::newRow("negative type") << QByteArray("CHANNEL=-1\n") << "COM1" << -1;
    QTest::newRow("no type") << QByteArray("COM=COM3\n") << "COM3" << 0;
}

void TstPortSettings::storedPortAndType()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, port);
    QFETCH(int, type);
    QVERIFY(writeSettingsFile(content));
    Lists lists;
    LoadPortSettings(&lists.ports, &lists.types);
    QCOMPARE(lists.ports.currentText(), port);
    QCOMPARE(lists.types.currentIndex(), type);
}

void TstPortSettings::wrongTypeKeepsWhatWasApplied()
{
    {
        QVERIFY(writeSettingsFile("COM=COM3\nCHANNEL=cable\n"));
        Lists lists;
        lists.types.setCurrentIndex(1);
        QCOMPARE(raisedText([&] { LoadPortSettings(&lists.ports, &lists.types); }),
                 QStringLiteral("Invalid data type for 'CHANNEL'"));
        QCOMPARE(lists.ports.currentText(), QStringLiteral("COM3"));
        QCOMPARE(lists.types.currentIndex(), 1);
    }
    {
        QVERIFY(writeSettingsFile("COM=COM3,COM1\nCHANNEL=1\n"));
        Lists lists;
        QCOMPARE(raisedText([&] { LoadPortSettings(&lists.ports, &lists.types); }),
                 QStringLiteral("Invalid data type for 'COM'"));
        QCOMPARE(lists.ports.currentText(), QStringLiteral("COM1"));
        QCOMPARE(lists.types.currentIndex(), 0);
    }
}

void TstPortSettings::savedSettingsComeBack()
{
    QVERIFY(writeSettingsFile("phone1=111\n"));
    SavePortSettings(QStringLiteral("COM12"), TConnectionType::Cable);
    const QByteArray text = readSettingsFile();
    QVERIFY2(text.contains("COM=COM12\n") && text.contains("CHANNEL=1\n"), text.constData());
    QVERIFY2(text.contains("phone1=111\n"), text.constData());
    Lists lists;
    LoadPortSettings(&lists.ports, &lists.types);
    QCOMPARE(lists.ports.currentText(), QStringLiteral("COM12"));
    QCOMPARE(lists.types.currentIndex(), 1);

    // No port selected and no type selected are stored as such.
    SavePortSettings(QString(), std::nullopt);
    const QSettings check(Paths::SettingsFile(), QSettings::IniFormat);
    QCOMPARE(check.value(QStringLiteral("COM")), QVariant(QString()));
    QCOMPARE(check.value(QStringLiteral("CHANNEL")), QVariant(QStringLiteral("-1")));
}

void TstPortSettings::refusedSaveIsReported()
{
    // A directory in place of the file: the store cannot be read, and it is not replaced.
    QVERIFY(QDir().mkpath(Paths::SettingsFile()));
    QCOMPARE(raisedText([] { SavePortSettings(QStringLiteral("COM3"), TConnectionType::Cable); }),
             QStringLiteral("Failed to read settings file '%1': Is a directory")
                 .arg(Paths::SettingsFile()));
    QVERIFY(QFileInfo(Paths::SettingsFile()).isDir());

    // No config directory possible: the first value is refused and nothing else is tried.
    QVERIFY(Config().BlockConfigDir());
    QCOMPARE(raisedText([] { SavePortSettings(QStringLiteral("COM3"), TConnectionType::Cable); }),
             QStringLiteral("Failed to set data for 'COM'"));
}

QTEST_MAIN(TstPortSettings)
#include "tst_portsettings.moc"
