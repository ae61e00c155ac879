#include "settings/PortSettings.h"
#include "settings/RegistryKey.h"
#include "support/ConfigTest.h"
#include "support/SettingsFiles.h"

#include <QComboBox>
#include <QFileInfo>
#include <QSettings>
#include <QtTest>

namespace
{

// The main window's phone box.
struct TPhoneBox : QComboBox {
    TPhoneBox() { setEditable(true); }
};

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

class TstPhoneList : public TConfigTest
{
    Q_OBJECT

private slots:
    void cleanStartCreatesEmptyKey();
    void newNumberGoesToTheFront();
    void storedNumberKeepsItsPlace();
    void ninthNumberPushesOutTheOldest();
    void gapClosesUpAndLeavesTheOldValue();
    void numbersAreStoredExactlyAsTyped();
    void wrongTypeStopsTheLoad();
    void wrongTypeStopsTheSave();
    void refusedSaveKeepsTheList();
};

void TstPhoneList::cleanStartCreatesEmptyKey()
{
    TPhoneBox box;
    LoadPhoneList(&box);
    QCOMPARE(box.count(), 0);
    QCOMPARE(box.currentText(), QString());
    QVERIFY(QFileInfo(Paths::SettingsFile()).isFile());
    QCOMPARE(readSettingsFile(), QByteArray());
}

void TstPhoneList::newNumberGoesToTheFront()
{
    TPhoneBox box;
    storePhones({"111", "222", "333"});
    LoadPhoneList(&box);
    QCOMPARE(items(box), (QStringList{"111", "222", "333"}));

    box.setEditText(QStringLiteral("444"));
    SavePhoneNumber(&box, QStringLiteral("444"));
    QCOMPARE(storedPhones(), withNone({"444", "111", "222", "333"}));
    QCOMPARE(items(box), (QStringList{"444", "111", "222", "333"}));
    QCOMPARE(box.currentText(), QStringLiteral("444"));
}

void TstPhoneList::storedNumberKeepsItsPlace()
{
    TPhoneBox box;
    storePhones({"111", "222", "333"});
    box.setEditText(QStringLiteral("333"));
    SavePhoneNumber(&box, QStringLiteral("333"));
    QCOMPARE(storedPhones(), withNone({"111", "222", "333"}));
    QCOMPARE(items(box), (QStringList{"111", "222", "333"}));
    QCOMPARE(box.currentText(), QStringLiteral("333"));
}

void TstPhoneList::ninthNumberPushesOutTheOldest()
{
    TPhoneBox box;
    const QStringList eight = {"1", "2", "3", "4", "5", "6", "7", "8"};
    storePhones(eight);
    SavePhoneNumber(&box, QStringLiteral("9"));
    QCOMPARE(storedPhones(), (QStringList{"9", "1", "2", "3", "4", "5", "6", "7"}));
    QCOMPARE(items(box), (QStringList{"9", "1", "2", "3", "4", "5", "6", "7"}));
    QVERIFY(!QSettings(Paths::SettingsFile(), QSettings::IniFormat).contains("phone9"));
}

void TstPhoneList::gapClosesUpAndLeavesTheOldValue()
{
    // Only phone1 and phone5 stored: two entries; a save writes the list from phone1 upward and
    // leaves the old phone5, so the next load shows that number twice.
    TPhoneBox box;
    QVERIFY(writeSettingsFile("phone1=111\nphone5=555\n"));
    LoadPhoneList(&box);
    QCOMPARE(items(box), (QStringList{"111", "555"}));

    SavePhoneNumber(&box, QStringLiteral("111"));
    QCOMPARE(storedPhones(), withNone({"111", "555", "<none>", "<none>", "555"}));
    QCOMPARE(items(box), (QStringList{"111", "555", "555"}));

    // With a new number in front the list is written again from phone1 and meets phone5.
    QVERIFY(writeSettingsFile("phone1=111\nphone5=555\n"));
    SavePhoneNumber(&box, QStringLiteral("999"));
    QCOMPARE(storedPhones(), withNone({"999", "111", "555", "<none>", "555"}));
    QCOMPARE(items(box), (QStringList{"999", "111", "555", "555"}));
}

void TstPhoneList::numbersAreStoredExactlyAsTyped()
{
    // Blanks and letter case count: these are four different entries.
    TPhoneBox box;
    for (const QString &number : {QStringLiteral("8 900"), QStringLiteral(" 8 900 "),
                                  QStringLiteral("tel:8900"), QStringLiteral("TEL:8900")}) {
        box.setEditText(number);
        SavePhoneNumber(&box, number);
        QCOMPARE(box.currentText(), number);
    }
    QCOMPARE(storedPhones(), withNone({"TEL:8900", "tel:8900", " 8 900 ", "8 900"}));

    // The typed text stays even when it is not one of the stored numbers.
    box.setEditText(QStringLiteral("+7 (900)"));
    LoadPhoneList(&box);
    QCOMPARE(box.currentText(), QStringLiteral("+7 (900)"));
    QCOMPARE(items(box), (QStringList{"TEL:8900", "tel:8900", " 8 900 ", "8 900"}));
}

void TstPhoneList::wrongTypeStopsTheLoad()
{
    // phone1 stays loaded; the typed text is not put back after the failure.
    TPhoneBox box;
    QVERIFY(writeSettingsFile("phone1=111\nphone2=2,22\nphone3=333\n"));
    box.addItem(QStringLiteral("old"));
    box.setEditText(QStringLiteral("typed"));
    QCOMPARE(raisedText([&] { LoadPhoneList(&box); }),
             QStringLiteral("Invalid data type for 'phone2'"));
    QCOMPARE(items(box), QStringList{"111"});
    QCOMPARE(box.currentText(), QString());
}

void TstPhoneList::wrongTypeStopsTheSave()
{
    // The save reads the whole list before it writes: nothing is written.
    TPhoneBox box;
    const QByteArray original = "phone1=111\nphone2=@ByteArray(222)\n";
    QVERIFY(writeSettingsFile(original));
    QCOMPARE(raisedText([&] { SavePhoneNumber(&box, QStringLiteral("999")); }),
             QStringLiteral("Invalid data type for 'phone2'"));
    QCOMPARE(readSettingsFile(), original);
}

void TstPhoneList::refusedSaveKeepsTheList()
{
    // The config directory cannot be created: a regular file is in its place.
    TPhoneBox box;
    QVERIFY(Config().BlockConfigDir());
    box.addItem(QStringLiteral("111"));
    box.setEditText(QStringLiteral("999"));
    QCOMPARE(raisedText([&] { SavePhoneNumber(&box, QStringLiteral("999")); }),
             QStringLiteral("Failed to set data for 'phone1'"));
    QCOMPARE(items(box), QStringList{"111"});
    QCOMPARE(box.currentText(), QStringLiteral("999"));
}

QTEST_MAIN(TstPhoneList)
#include "tst_phonelist.moc"
