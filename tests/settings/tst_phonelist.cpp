#include "settings/PortSettings.h"
#include "settings/RegistryKey.h"
#include "support/SettingsFiles.h"
#include "support/TempConfig.h"

#include <QComboBox>
#include <QFileInfo>
#include <QSettings>
#include <QtTest>

namespace
{

QStringList items(const QComboBox &box)
{
    QStringList result;
    for (int i = 0; i < box.count(); ++i)
        result.append(box.itemText(i));
    return result;
}

// The phone values as stored, phone1..phone8; a missing one reads as "<none>".
QStringList storedPhones()
{
    const QSettings settings(Paths::SettingsFile(), QSettings::IniFormat);
    QStringList result;
    for (int i = 1; i <= 8; ++i) {
        const QVariant value = settings.value(QStringLiteral("phone%1").arg(i));
        result.append(value.isValid() ? value.toString() : QStringLiteral("<none>"));
    }
    return result;
}

QStringList withNone(QStringList values)
{
    while (values.size() < 8)
        values.append(QStringLiteral("<none>"));
    return values;
}

void storePhones(const QStringList &values)
{
    QByteArray content;
    for (int i = 0; i < values.size(); ++i)
        content += QStringLiteral("phone%1=%2\n").arg(i + 1).arg(values.at(i)).toUtf8();
    QVERIFY(writeSettingsFile(content));
}

} // namespace

class TstPhoneList : public QObject
{
    Q_OBJECT

private slots:
    // Every case has a private config of its own.
    void init()
    {
        FDir = std::make_unique<TTempConfig>();
        QVERIFY(FDir->IsValid());
        // The main window's phone box.
        FBox = std::make_unique<QComboBox>();
        FBox->setEditable(true);
    }
    void cleanup()
    {
        FBox.reset();
        FDir.reset();
    }

    void cleanStartCreatesEmptyKey();
    void newNumberGoesToTheFront();
    void storedNumberKeepsItsPlace();
    void ninthNumberPushesOutTheOldest();
    void gapClosesUpAndLeavesTheOldValue();
    void numbersAreStoredExactlyAsTyped();
    void wrongTypeStopsTheLoad();
    void wrongTypeStopsTheSave();
    void refusedSaveKeepsTheList();

private:
    std::unique_ptr<TTempConfig> FDir;
    std::unique_ptr<QComboBox> FBox;
};

void TstPhoneList::cleanStartCreatesEmptyKey()
{
    LoadPhoneList(FBox.get());
    QCOMPARE(FBox->count(), 0);
    QCOMPARE(FBox->currentText(), QString());
    QVERIFY(QFileInfo(Paths::SettingsFile()).isFile());
    QCOMPARE(readSettingsFile(), QByteArray());
}

void TstPhoneList::newNumberGoesToTheFront()
{
    storePhones({"111", "222", "333"});
    LoadPhoneList(FBox.get());
    QCOMPARE(items(*FBox), (QStringList{"111", "222", "333"}));

    FBox->setEditText(QStringLiteral("444"));
    SavePhoneNumber(FBox.get(), QStringLiteral("444"));
    QCOMPARE(storedPhones(), withNone({"444", "111", "222", "333"}));
    QCOMPARE(items(*FBox), (QStringList{"444", "111", "222", "333"}));
    QCOMPARE(FBox->currentText(), QStringLiteral("444"));
}

void TstPhoneList::storedNumberKeepsItsPlace()
{
    storePhones({"111", "222", "333"});
    FBox->setEditText(QStringLiteral("333"));
    SavePhoneNumber(FBox.get(), QStringLiteral("333"));
    QCOMPARE(storedPhones(), withNone({"111", "222", "333"}));
    QCOMPARE(items(*FBox), (QStringList{"111", "222", "333"}));
    QCOMPARE(FBox->currentText(), QStringLiteral("333"));
}

void TstPhoneList::ninthNumberPushesOutTheOldest()
{
    const QStringList eight = {"1", "2", "3", "4", "5", "6", "7", "8"};
    storePhones(eight);
    SavePhoneNumber(FBox.get(), QStringLiteral("9"));
    QCOMPARE(storedPhones(), (QStringList{"9", "1", "2", "3", "4", "5", "6", "7"}));
    QCOMPARE(items(*FBox), (QStringList{"9", "1", "2", "3", "4", "5", "6", "7"}));
    QVERIFY(!QSettings(Paths::SettingsFile(), QSettings::IniFormat).contains("phone9"));
}

void TstPhoneList::gapClosesUpAndLeavesTheOldValue()
{
    // Only phone1 and phone5 stored: two entries; a save writes the list from phone1 upward and
    // leaves the old phone5, so the next load shows that number twice.
    QVERIFY(writeSettingsFile("phone1=111\nphone5=555\n"));
    LoadPhoneList(FBox.get());
    QCOMPARE(items(*FBox), (QStringList{"111", "555"}));

    SavePhoneNumber(FBox.get(), QStringLiteral("111"));
    QCOMPARE(storedPhones(), withNone({"111", "555", "<none>", "<none>", "555"}));
    QCOMPARE(items(*FBox), (QStringList{"111", "555", "555"}));

    // With a new number in front the list is written again from phone1 and meets phone5.
    QVERIFY(writeSettingsFile("phone1=111\nphone5=555\n"));
    SavePhoneNumber(FBox.get(), QStringLiteral("999"));
    QCOMPARE(storedPhones(), withNone({"999", "111", "555", "<none>", "555"}));
    QCOMPARE(items(*FBox), (QStringList{"999", "111", "555", "555"}));
}

void TstPhoneList::numbersAreStoredExactlyAsTyped()
{
    // Blanks and letter case count: these are four different entries.
    for (const QString &number : {QStringLiteral("8 900"), QStringLiteral(" 8 900 "),
                                  QStringLiteral("tel:8900"), QStringLiteral("TEL:8900")}) {
        FBox->setEditText(number);
        SavePhoneNumber(FBox.get(), number);
        QCOMPARE(FBox->currentText(), number);
    }
    QCOMPARE(storedPhones(), withNone({"TEL:8900", "tel:8900", " 8 900 ", "8 900"}));

    // The typed text stays even when it is not one of the stored numbers.
    FBox->setEditText(QStringLiteral("+7 (900)"));
    LoadPhoneList(FBox.get());
    QCOMPARE(FBox->currentText(), QStringLiteral("+7 (900)"));
    QCOMPARE(items(*FBox), (QStringList{"TEL:8900", "tel:8900", " 8 900 ", "8 900"}));
}

void TstPhoneList::wrongTypeStopsTheLoad()
{
    // phone1 stays loaded; the typed text is not put back after the failure.
    QVERIFY(writeSettingsFile("phone1=111\nphone2=2,22\nphone3=333\n"));
    FBox->addItem(QStringLiteral("old"));
    FBox->setEditText(QStringLiteral("typed"));
    QCOMPARE(raisedText([&] { LoadPhoneList(FBox.get()); }),
             QStringLiteral("Invalid data type for 'phone2'"));
    QCOMPARE(items(*FBox), QStringList{"111"});
    QCOMPARE(FBox->currentText(), QString());
}

void TstPhoneList::wrongTypeStopsTheSave()
{
    // The save reads the whole list before it writes: nothing is written.
    const QByteArray original = "phone1=111\nphone2=@ByteArray(222)\n";
    QVERIFY(writeSettingsFile(original));
    QCOMPARE(raisedText([&] { SavePhoneNumber(FBox.get(), QStringLiteral("999")); }),
             QStringLiteral("Invalid data type for 'phone2'"));
    QCOMPARE(readSettingsFile(), original);
}

void TstPhoneList::refusedSaveKeepsTheList()
{
    // The config directory cannot be created: a regular file is in its place.
    QVERIFY(FDir->BlockConfigDir());
    FBox->addItem(QStringLiteral("111"));
    FBox->setEditText(QStringLiteral("999"));
    QCOMPARE(raisedText([&] { SavePhoneNumber(FBox.get(), QStringLiteral("999")); }),
             QStringLiteral("Failed to set data for 'phone1'"));
    QCOMPARE(items(*FBox), QStringList{"111"});
    QCOMPARE(FBox->currentText(), QStringLiteral("999"));
}

QTEST_MAIN(TstPhoneList)
#include "tst_phonelist.moc"
