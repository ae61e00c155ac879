#include "controls/URLLabel.h"
#include "settings/COMSettingsUnit.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/SettingsFiles.h"
#include "support/TempConfig.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace
{

// The dialog as designed: its object name, caption and fixed size, and modeless.
[[nodiscard]] bool IsDesignedDialog(const QWidget &form, const char *name, const char *title,
                                    QSize size)
{
    return form.objectName() == QLatin1String(name) && form.windowTitle() == QString(title) &&
           !form.isModal() && form.minimumSize() == size && form.maximumSize() == size;
}

// A control of the dialog: found by its designed name, showing its designed text.
template <typename T>
[[nodiscard]] bool IsDesignedControl(const QWidget &form, T *control, const char *name,
                                     const char *text)
{
    return form.findChild<T *>(QLatin1String(name)) == control && control->text() == QString(text);
}

} // namespace

class TstSettingsDialogs : public QObject
{
    Q_OBJECT

private slots:
    void comSpeedDialogAsDesigned();
    void tcpPortDialogAsDesigned();
    void saveButtonsHideAndKeepTheChoice();
    void urlLabelLooksLikeALink();
    void urlLabelReportsLeftClicksOnly();
};

void TstSettingsDialogs::comSpeedDialogAsDesigned()
{
    TCOMSettingsForm form;
    QVERIFY(IsDesignedDialog(form, "COMSettingsForm", "Настройки COM-порта", QSize(250, 74)));
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

    QVERIFY(IsDesignedControl(form, form.Label1, "Label1", "Скорость:"));
    QCOMPARE(form.findChild<QComboBox *>("SpeedComboBox"), form.SpeedComboBox);
    QVERIFY(!form.SpeedComboBox->isEditable());
    QStringList speeds;
    for (int i = 0; i < form.SpeedComboBox->count(); ++i)
        speeds.append(form.SpeedComboBox->itemText(i));
    QCOMPARE(speeds, (QStringList{"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800",
                                  "38400", "56000", "57600", "115200", "128000", "256000"}));
    QCOMPARE(form.SpeedComboBox->currentText(), QStringLiteral("19200"));
    QVERIFY(IsDesignedControl(form, form.Label2, "Label2", "бод"));
    QVERIFY(IsDesignedControl(form, form.OKButton, "OKButton", "Сохранить"));
}

void TstSettingsDialogs::tcpPortDialogAsDesigned()
{
    TTCPServerSettingsForm form;
    QVERIFY(
        IsDesignedDialog(form, "TCPServerSettingsForm", "Настройки TCP сервера", QSize(219, 82)));
    QVERIFY(IsDesignedControl(form, form.Label1, "Label1", "Порт:"));
    QVERIFY(IsDesignedControl(form, form.PortEdit, "PortEdit", "53462"));
    QVERIFY(IsDesignedControl(form, form.OkButton, "OkButton", "Сохранить"));
}

void TstSettingsDialogs::saveButtonsHideAndKeepTheChoice()
{
    TTempConfig dir;
    QVERIFY(dir.IsValid());
    TCOMSettingsForm com;
    com.show();
    QVERIFY(QTest::qWaitForWindowExposed(&com));
    com.SpeedComboBox->setCurrentText(QStringLiteral("9600"));
    QTest::mouseClick(com.OKButton, Qt::LeftButton);
    QTRY_VERIFY(!com.isVisible());
    QCOMPARE(com.SpeedComboBox->currentText(), QStringLiteral("9600"));

    // Closed through the title bar: hidden, not destroyed, the choice still in effect.
    com.show();
    QVERIFY(QTest::qWaitForWindowExposed(&com));
    com.SpeedComboBox->setCurrentText(QStringLiteral("115200"));
    QVERIFY(com.close());
    QTRY_VERIFY(!com.isVisible());
    QCOMPARE(com.SpeedComboBox->currentText(), QStringLiteral("115200"));

    TTCPServerSettingsForm tcp;
    tcp.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tcp));
    tcp.PortEdit->setText(QStringLiteral("80"));
    QTest::mouseClick(tcp.OkButton, Qt::LeftButton);
    QTRY_VERIFY(!tcp.isVisible());
    QCOMPARE(tcp.PortEdit->text(), QStringLiteral("80"));

    // Nothing of the dialogs is stored: new ones start from the defaults and no file appeared.
    QCOMPARE(TCOMSettingsForm().SpeedComboBox->currentText(), QStringLiteral("19200"));
    QCOMPARE(TTCPServerSettingsForm().PortEdit->text(), QStringLiteral("53462"));
    QVERIFY(!QFileInfo::exists(Paths::SettingsFile()));
}

void TstSettingsDialogs::urlLabelLooksLikeALink()
{
    QWidget window;
    auto *label = new TURLLabel(QStringLiteral("Подключить"), &window);
    QCOMPARE(label->palette().color(QPalette::Active, QPalette::WindowText), QColor(Qt::blue));
    QVERIFY(label->font().underline());
    // The window's font still reaches the label; only the underline is its own.
    window.setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    QVERIFY(label->font().underline());
    QCOMPARE(label->font().pointSize(), 8);
    // A disabled command is drawn in the disabled colour, not in blue.
    label->setEnabled(false);
    QVERIFY(label->palette().color(QPalette::Disabled, QPalette::WindowText) != QColor(Qt::blue));
}

void TstSettingsDialogs::urlLabelReportsLeftClicksOnly()
{
    QWidget window;
    window.resize(200, 60);
    auto *label = new TURLLabel(QStringLiteral("Подключить"), &window);
    label->setGeometry(16, 20, 65, 13);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicks(label, &TURLLabel::clicked);

    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QTest::mouseClick(label, Qt::RightButton);
    QCOMPARE(clicks.count(), 1);
    // Pressed on the label, released away from it: no click.
    QTest::mousePress(label, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(150, 40));
    QCOMPARE(clicks.count(), 1);

    label->setEnabled(false);
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    label->setEnabled(true);
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(clicks.count(), 2);
}

QTEST_MAIN(TstSettingsDialogs)
#include "tst_settingsdialogs.moc"
