#include "settings/RegistryKey.h"
#include "support/ConfigTest.h"
#include "support/FileSizeLimit.h"
#include "support/SettingsFiles.h"

#include <QFileInfo>
#include <QtTest>

class TstRegistryKey : public TConfigTest
{
    Q_OBJECT

private slots:
    void openCreatesEmptyStore();
    void valuesAreTopLevelAndCaseSensitive();
    void stringsRoundTripExactly();
    void integersAreSigned32Bit();
    void wrongTypesRaise_data();
    void wrongTypesRaise();
    void unreadableStoreIsReportedAndKept();
    void missingDirectoryCannotBeCreated();
    void fullDiskKeepsTheOldFile();
    void malformedFileIsNotRewritten();
    void commentLinesSurviveWrites();
};

void TstRegistryKey::openCreatesEmptyStore()
{
    QVERIFY(!QFileInfo::exists(Paths::SettingsFile()));
    {
        const TRegistryKey key;
        QVERIFY(!key.ValueExists(QStringLiteral("phone1")));
    }
    QVERIFY(QFileInfo(Paths::SettingsFile()).isFile());
    QCOMPARE(readSettingsFile(), QByteArray());
}

void TstRegistryKey::valuesAreTopLevelAndCaseSensitive()
{
    {
        TRegistryKey key;
        key.WriteString(QStringLiteral("COM"), QStringLiteral("COM3"));
        key.WriteInteger(QStringLiteral("CHANNEL"), 1);
        key.WriteString(QStringLiteral("phone1"), QStringLiteral("+79001234567"));
    }
    // Phone numbers are private: the file is the user's alone, also after it was rewritten.
    QCOMPARE(QFileInfo(Paths::SettingsFile()).permissions() & 0x0077, QFileDevice::Permissions());
    const QByteArray text = readSettingsFile();
    QVERIFY2(text.contains("COM=COM3\n"), text.constData());
    QVERIFY2(text.contains("CHANNEL=1\n"), text.constData());
    QVERIFY2(text.contains("phone1=+79001234567\n"), text.constData());

    // A file written by hand without a section header reads the same.
    QVERIFY(writeSettingsFile("phone1=111\nCom=COM9\n"));
    const TRegistryKey key;
    QCOMPARE(key.ReadString(QStringLiteral("phone1")), QStringLiteral("111"));
    QVERIFY(!key.ValueExists(QStringLiteral("COM")));
    QVERIFY(!key.ValueExists(QStringLiteral("Phone1")));
}

void TstRegistryKey::stringsRoundTripExactly()
{
    const QStringList values = {QStringLiteral(" 8 900 123-45-67 "),
                                QStringLiteral("1,2"),
                                QStringLiteral("@ByteArray(x)"),
                                QStringLiteral("a;b#c\"d\\e"),
                                QStringLiteral("Привет"),
                                QString()};
    {
        TRegistryKey key;
        for (int i = 0; i < values.size(); ++i)
            key.WriteString(QStringLiteral("phone%1").arg(i + 1), values.at(i));
    }
    const TRegistryKey key;
    for (int i = 0; i < values.size(); ++i) {
        const QString name = QStringLiteral("phone%1").arg(i + 1);
        QVERIFY(key.ValueExists(name));
        QCOMPARE(key.ReadString(name), values.at(i));
    }
}

void TstRegistryKey::integersAreSigned32Bit()
{
    {
        TRegistryKey key;
        key.WriteInteger(QStringLiteral("CHANNEL"), -2147483647 - 1);
    }
    QCOMPARE(TRegistryKey().ReadInteger(QStringLiteral("CHANNEL")), -2147483647 - 1);
    QVERIFY(writeSettingsFile("CHANNEL=2147483647\n"));
    QCOMPARE(TRegistryKey().ReadInteger(QStringLiteral("CHANNEL")), 2147483647);
}

void TstRegistryKey::wrongTypesRaise_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("asInteger");
    QTest::newRow("list") << QByteArray("COM=COM1,COM2\n") << "COM" << false;
    QTest::newRow("bytes") << QByteArray("phone2=@ByteArray(123)\n") << "phone2" << false;
    QTest::newRow("variant") << QByteArray("COM=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n") << "COM"
                             << false;
    // Bytes that the variant reader would take for a giant array: read as nothing, never decoded.
    QTest::newRow("corrupt variant")
        << QByteArray("CHANNEL=@Variant(\\0\\0\\0\\xByteArray(x)\n") << "CHANNEL" << true;
    QTest::newRow("variant split by quotes")
        << QByteArray("CHANNEL=@V\"ariant(\\0\\0\\0\\xByteArray(x)\n") << "CHANNEL" << true;
    QTest::newRow("variant spelt by escapes")
        << QByteArray("COM=\\x40Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n") << "COM" << false;
    QTest::newRow("word") << QByteArray("CHANNEL=one\n") << "CHANNEL" << true;
    QTest::newRow("empty") << QByteArray("CHANNEL=\n") << "CHANNEL" << true;
    QTest::newRow("fraction") << QByteArray("CHANNEL=1.5\n") << "CHANNEL" << true;
    QTest::newRow("over 32 bits") << QByteArray("CHANNEL=4294967296\n") << "CHANNEL" << true;
    QTest::newRow("list as int") << QByteArray("CHANNEL=1,2\n") << "CHANNEL" << true;
}

void TstRegistryKey::wrongTypesRaise()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QFETCH(bool, asInteger);
    QVERIFY(writeSettingsFile(content));
    const TRegistryKey key;
    QVERIFY(key.ValueExists(name));
    const QString text = raisedText([&] {
        if (asInteger)
            key.ReadInteger(name);
        else
            key.ReadString(name);
    });
    QCOMPARE(text, QStringLiteral("Invalid data type for '%1'").arg(name));
}

void TstRegistryKey::unreadableStoreIsReportedAndKept()
{
    // A directory in place of the file cannot be read, even by root.
    QVERIFY(QDir().mkpath(Paths::SettingsFile()));
    QFile marker(Paths::SettingsFile() + QStringLiteral("/keep"));
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.close();

    const QString expected = QStringLiteral("Failed to read settings file '%1': Is a directory")
                                 .arg(Paths::SettingsFile());
    QCOMPARE(raisedText([] { TRegistryKey key; }), expected);
    QCOMPARE(raisedText([] {
                 TRegistryKey key;
                 key.WriteString(QStringLiteral("COM"), QStringLiteral("COM1"));
             }),
             expected);
    QVERIFY(QFileInfo(Paths::SettingsFile()).isDir());
    QVERIFY(marker.exists());
}

void TstRegistryKey::missingDirectoryCannotBeCreated()
{
    // A regular file is where the config directory would be made: nothing can be created.
    QVERIFY(Config().BlockConfigDir());

    // Nothing is stored, so a load finds an empty key.
    {
        const TRegistryKey key;
        QVERIFY(!key.ValueExists(QStringLiteral("phone1")));
    }
    QCOMPARE(raisedText([] {
                 TRegistryKey key;
                 key.WriteString(QStringLiteral("phone1"), QStringLiteral("123"));
             }),
             QStringLiteral("Failed to set data for 'phone1'"));
    QCOMPARE(raisedText([] {
                 TRegistryKey key;
                 key.WriteInteger(QStringLiteral("CHANNEL"), 1);
             }),
             QStringLiteral("Failed to set data for 'CHANNEL'"));
    // The refused value is not shown as stored afterwards.
    QVERIFY(!TRegistryKey().ValueExists(QStringLiteral("phone1")));
}

void TstRegistryKey::fullDiskKeepsTheOldFile()
{
    QByteArray original = "[General]\nCOM=COM2\nCHANNEL=1\n";
    for (int i = 1; i <= 8; ++i)
        original += QStringLiteral("phone%1=+7900123456%1\n").arg(i).toLatin1();
    QVERIFY(writeSettingsFile(original));

    {
        TRegistryKey key;
        FileSizeLimit limit(16);
        QVERIFY(limit.active());
        QCOMPARE(
            raisedText([&] { key.WriteString(QStringLiteral("COM"), QStringLiteral("COM7")); }),
            QStringLiteral("Failed to set data for 'COM'"));
        // The key that refused the value does not show it either.
        QCOMPARE(key.ReadString(QStringLiteral("COM")), QStringLiteral("COM2"));
    }
    QCOMPARE(readSettingsFile(), original);
    QCOMPARE(QDir(Paths::ConfigDir()).entryList(QDir::Files), QStringList{"Lindqvar.conf"});

    // With space again, the refused value does not come back by itself: the next write stores
    // only what it was asked to.
    {
        const TRegistryKey key;
        QCOMPARE(key.ReadString(QStringLiteral("COM")), QStringLiteral("COM2"));
    }
    {
        TRegistryKey key;
        key.WriteInteger(QStringLiteral("CHANNEL"), 0);
    }
    // The file itself: a QSettings here could be served the content that the refusing key read
    // in place, from Qt's cache of parsed files, when the rewrite kept its size and time stamp.
    const QByteArray written = readSettingsFile();
    QVERIFY2(written.contains("\nCOM=COM2\n") && written.contains("\nCHANNEL=0\n") &&
                 written.contains("\nphone8=+79001234568\n"),
             written.constData());
}

void TstRegistryKey::malformedFileIsNotRewritten()
{
    // A line the INI reader cannot take would be dropped by a rewrite: the file stays as it is,
    // and what could be read is still read.
    const QByteArray original = "phone1=123\nnotes for the next dial\n";
    QVERIFY(writeSettingsFile(original));
    QCOMPARE(TRegistryKey().ReadString(QStringLiteral("phone1")), QStringLiteral("123"));
    QCOMPARE(raisedText([] {
                 TRegistryKey key;
                 key.WriteString(QStringLiteral("phone2"), QStringLiteral("456"));
             }),
             QStringLiteral("Failed to set data for 'phone2'"));
    QCOMPARE(readSettingsFile(), original);
}

void TstRegistryKey::commentLinesSurviveWrites()
{
    // Comments as users write them in the port map: they never block a save, and each stays
    // with the line it was written above.
    QVERIFY(writeSettingsFile("# written by hand\n"
                              "[General]\n"
                              "; the office line\n"
                              "phone1=123\n"
                              "   # the lab's adapter\n"
                              "COM=COM3\n"
                              "phone8 = @Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n"
                              "# the end\n"));
    {
        TRegistryKey key;
        key.WriteString(QStringLiteral("phone2"), QStringLiteral("456"));
        key.WriteString(QStringLiteral("COM"), QStringLiteral("COM4"));
    }
    const QByteArray written = readSettingsFile();
    QVERIFY2(written.startsWith("# written by hand\n"), written.constData());
    QVERIFY2(written.contains("; the office line\nphone1=123\n"), written.constData());
    QVERIFY2(written.contains("   # the lab's adapter\nCOM=COM4\n"), written.constData());
    QVERIFY2(written.endsWith("phone8 = @Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n# the end\n"),
             written.constData());
    const TRegistryKey key;
    QCOMPARE(key.ReadString(QStringLiteral("phone1")), QStringLiteral("123"));
    QCOMPARE(key.ReadString(QStringLiteral("phone2")), QStringLiteral("456"));
    QCOMPARE(key.ReadString(QStringLiteral("COM")), QStringLiteral("COM4"));
}

QTEST_GUILESS_MAIN(TstRegistryKey)
#include "tst_registrykey.moc"
