// The main window for a person who uses the keyboard alone or a screen reader, through Qt's
// accessibility interfaces: every control is named with the role it plays, the log's lines are
// list items, F5 refreshes the port list, and a whole cable link is made and ended by key
// presses alone. Controls are found by object name. What a screen reader hears over AT-SPI (the
// names, and the status announced) is checked by atspi_window.py.

#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "log/LogList.h"
#include "settings/Paths.h"
#include "support/LinkScript.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <memory>

namespace
{

QWidget *Control(QWidget &window, const char *name)
{
    return window.findChild<QWidget *>(QLatin1String(name));
}

} // namespace

class TstKeyboardAccess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controlsNamedForScreenReaders_data();
    void controlsNamedForScreenReaders();
    void logLinesReadAsListItems();
    void keyboardAloneMakesACableLink();

private:
    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FDevice;
};

void TstKeyboardAccess::init()
{
    F = std::make_unique<TWizardFixture>();
}

void TstKeyboardAccess::cleanup()
{
    F.reset();
    FDevice.reset();
}

void TstKeyboardAccess::controlsNamedForScreenReaders_data()
{
    // What a screen reader says the control is: its name, or for a box (whose name is its
    // value) the label it is labelled by.
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("focusable");
    QTest::newRow("connection type")
        << "ConnectTypeComboBox" << int(QAccessible::ComboBox) << "Тип подключения:" << true;
    QTest::newRow("port") << "PortsListComboBox" << int(QAccessible::ComboBox)
                          << "COM-порт:" << true;
    QTest::newRow("refresh") << "SpeedButton1" << int(QAccessible::Button)
                             << "Обновить список COM-портов" << false;
    QTest::newRow("phone number") << "PhoneNumber" << int(QAccessible::ComboBox)
                                  << "Номер телефона:" << true;
    QTest::newRow("command") << "URLLabel1" << int(QAccessible::Button) << "Подключить" << true;
    QTest::newRow("status") << "Label7" << int(QAccessible::StaticText) << "Нет подключения"
                            << false;
}

void TstKeyboardAccess::controlsNamedForScreenReaders()
{
    QFETCH(QString, control);
    QFETCH(int, role);
    QFETCH(QString, said);
    QFETCH(bool, focusable);
    // COM7 is a device file that is no serial port: an attempt on it fails at once.
    QVERIFY(F->Config.WritePortMap({QStringLiteral("COM7=/dev/zero")}));
    QVERIFY(F->StartOnPort(QStringLiteral("COM7"), TConnectionType::Cable));
    QWidget *widget = Control(F->Main(), qPrintable(control));
    QVERIFY(widget != nullptr);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible != nullptr);
    QCOMPARE(int(accessible->role()), role);
    const auto labels = accessible->relations(QAccessible::Label);
    QCOMPARE(labels.isEmpty() ? accessible->text(QAccessible::Name)
                              : labels.first().first->text(QAccessible::Name),
             said);
    QCOMPARE(accessible->state().focusable, focusable);
    if (control != QStringLiteral("URLLabel1"))
        return;
    // The command presses like a button (that the status change is announced is seen over
    // AT-SPI: atspi_window.py).
    QAccessibleActionInterface *action = accessible->actionInterface();
    QVERIFY(action != nullptr);
    QVERIFY(action->actionNames().contains(QAccessibleActionInterface::pressAction()));
    action->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(Control(F->Main(), "Label7")->property("text").toString(),
             QStringLiteral("COM-порт занят"));
}

void TstKeyboardAccess::logLinesReadAsListItems()
{
    TLOGForm form;
    TLogList *list = form.findChild<TLogList *>();
    QVERIFY(list != nullptr);
    list->Lines().AppendText(QStringLiteral("первая строка"));
    list->Lines().AppendText(QStringLiteral("вторая строка"));
    list->Lines().Publish();
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    list->setFocus();

    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(list);
    QCOMPARE(accessible->role(), QAccessible::List);
    QCOMPARE(accessible->childCount(), 2);
    QAccessibleInterface *second = accessible->child(1);
    QCOMPARE(second->role(), QAccessible::ListItem);
    QCOMPARE(second->text(QAccessible::Name), QStringLiteral("вторая строка"));
    QCOMPARE(accessible->indexOfChild(second), 1);
    QVERIFY(!second->rect().isEmpty());

    // The line selected by the keyboard is the focused one.
    QTest::keyClick(list, Qt::Key_End);
    QVERIFY(second->state().selected && second->state().focused);
    QCOMPARE(accessible->focusChild(), second);

    // Lines taken out: the items made before are forgotten, the rest read as they are now.
    list->Lines().RemoveLine(0);
    QCOMPARE(accessible->childCount(), 1);
    QCOMPARE(accessible->child(0)->text(QAccessible::Name), QStringLiteral("вторая строка"));
}

void TstKeyboardAccess::keyboardAloneMakesACableLink()
{
    FDevice = std::make_unique<ToolProcess>();
    QVERIFY(FDevice->startOnPort(QStringLiteral("lindqvar-device"), QStringLiteral("COM4")));
    QVERIFY(F->Start());
    F->ShowLog();
    F->ServerPort = F->UseFreeServerPort();
    QVERIFY(F->ServerPort != 0);
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(
        F->InstallSetupDemo(QStringLiteral("--port %1 --exchanges 5 --transcript ") + transcript));
    TMainLindqvarForm &w = F->Main();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto *type = static_cast<QComboBox *>(Control(w, "ConnectTypeComboBox"));
    auto *ports = static_cast<QComboBox *>(Control(w, "PortsListComboBox"));
    QWidget *command = Control(w, "URLLabel1");
    type->setFocus();

    // The cable type with the arrow key, the port by typing its name, then Tab on to the
    // command (the phone number, for a modem only, is disabled and passed over).
    QTest::keyClick(type, Qt::Key_Down);
    QCOMPARE(type->currentText(), QStringLiteral("USB/COM (кабель)"));
    QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
    QCOMPARE(w.focusWidget(), ports);
    QTest::keyClicks(ports, QStringLiteral("COM4"));
    QCOMPARE(ports->currentText(), QStringLiteral("COM4"));
    QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
    QCOMPARE(w.focusWidget(), command);

    // Enter connects; once the setup program has done its work, Space disconnects.
    TSetupProgram setup;
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup, transcript))
                return false;
            LINK_COMPARE(Control(w, "Label7")->property("text").toString(),
                         QStringLiteral("Подключен"));
            LINK_VERIFY(w.focusWidget() == command);
            QTest::keyClick(command, Qt::Key_Space);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::keyClick(command, Qt::Key_Return);

    QVERIFY2(script.Succeeded(QStringLiteral("the setup program's exchanges")),
             qPrintable(F->LogLines().join(u'\n')));
    QVERIFY2(setup.Result.startsWith(QStringLiteral("RESULT OK")), qPrintable(setup.Result));
    QVERIFY(ExpectIdle(w));
    // The command has the focus again, for the next link.
    QCOMPARE(w.focusWidget(), command);

    // F5 refreshes the port list as the refresh button does, the log saying why a configured
    // port is absent (a device that calls in and has not called).
    QFile map(Paths::PortMapFile());
    QVERIFY(map.open(QIODevice::Append));
    map.write(
        QStringLiteral("COM20=listen://127.0.0.1:%1?id=KEYBOARD\n").arg(FreeTcpPort()).toUtf8());
    map.close();
    const auto saidOfCom20 = [&] { return F->LogLines().filter(QStringLiteral("COM20")).size(); };
    QTest::qWait(300);
    const qsizetype before = saidOfCom20();
    QTest::keyClick(command, Qt::Key_F5);
    QTRY_VERIFY(saidOfCom20() > before);
}

QTEST_MAIN(TstKeyboardAccess)
#include "tst_keyboard_access.moc"
