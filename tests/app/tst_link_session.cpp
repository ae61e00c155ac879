// The link session without a window: what the connection command does with the user's choices
// before any line answers, and what it tells the window to show.

#include "support/RecordingDialogs.h"
#include "support/TempConfig.h"

#include "app/LinkSession.h"
#include "app/LinkView.h"

#include <QTest>

namespace
{

// The window as the session draws it: the last of everything it was told.
class TRecordingView : public TLinkView
{
public:
    void WriteLog(const QString &message, const QString &) override { Log << message; }
    void WriteLogBytes(QByteArrayView, const QString &) override {}
    void ShowStatus(const QString &text, bool alarm) override
    {
        Status = text;
        Alarm = alarm;
    }
    void ShowCommand(TCommandState state) override { Caption = CommandCaption(state); }
    void EnableCommand(bool enabled) override { CommandEnabled = enabled; }
    void EnableInputs(bool enabled) override { InputsEnabled = enabled; }
    void ShowPorts(const QStringList &) override {}
    void RefreshPorts() override {}
    void RememberPhoneNumber(const QString &) override {}
    void ShowServerPort(int) override {}
    void BringToFront() override {}

    QStringList Log;
    QString Status = QStringLiteral("Нет подключения");
    bool Alarm = false;
    QString Caption = QStringLiteral("Подключить");
    bool CommandEnabled = true;
    bool InputsEnabled = true;
};

} // namespace

class TstLinkSession : public QObject
{
    Q_OBJECT

private slots:
    void commandBeforeTheLine_data();
    void commandBeforeTheLine();
    void cancelAfterAPortThatDidNotOpen();
};

void TstLinkSession::commandBeforeTheLine_data()
{
    QTest::addColumn<int>("type"); // the box index, -1 for none chosen
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("box");
    QTest::addColumn<TCommandState>("state");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("inputsEnabled");

    const QString idle = QStringLiteral("Нет подключения");
    QTest::newRow("no port listed")
        << 1 << QString() << QString() << QStringLiteral("Нет доступных COM портов.")
        << TCommandState::Idle << idle << true;
    QTest::newRow("modem without a number")
        << 0 << QStringLiteral("COM7") << QStringLiteral(" \t") << "Не указан номер телефона."
        << TCommandState::Idle << idle << true;
    // Nothing to connect: the command stays as it is, and nothing runs.
    QTest::newRow("no type chosen") << -1 << QStringLiteral("COM7") << QString() << QString()
                                    << TCommandState::Idle << idle << true;
    // The cable port cannot be opened: the command offers to cancel, the inputs wait.
    QTest::newRow("cable port that does not open")
        << 1 << QStringLiteral("COM7") << QString() << QString() << TCommandState::Connecting
        << QStringLiteral("COM-порт занят") << false;
}

void TstLinkSession::commandBeforeTheLine()
{
    QFETCH(int, type);
    QFETCH(QString, port);
    QFETCH(QString, phone);
    QFETCH(QString, box);
    QFETCH(TCommandState, state);
    QFETCH(QString, status);
    QFETCH(bool, inputsEnabled);

    TTempConfig config;
    QVERIFY(config.WritePortMap({QStringLiteral("COM7=/dev/lindqvar-missing")}));
    TRecordingDialogs dialogs;
    TRecordingView view;
    TLinkSession session(view, nullptr);

    session.RunCommand({ConnectionTypeOf(type), port, phone});

    QCOMPARE(dialogs.Boxes.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QCOMPARE(dialogs.Boxes.first().Text, box);
    QCOMPARE(session.CommandState(), state);
    QCOMPARE(view.Caption, CommandCaption(state));
    QCOMPARE(session.Status(), status);
    QCOMPARE(view.Status, status);
    QCOMPARE(view.Alarm, state != TCommandState::Idle);
    QCOMPARE(view.InputsEnabled, inputsEnabled);
    // However the command ended, it can be given again.
    QVERIFY(view.CommandEnabled);
    QVERIFY(!session.LinkRunning());
}

void TstLinkSession::cancelAfterAPortThatDidNotOpen()
{
    TTempConfig config;
    QVERIFY(config.WritePortMap({QStringLiteral("COM7=/dev/lindqvar-missing")}));
    TRecordingDialogs dialogs;
    TRecordingView view;
    TLinkSession session(view, nullptr);
    const TLinkChoice cable{TConnectionType::Cable, QStringLiteral("COM7"), QString()};
    session.RunCommand(cable);
    QCOMPARE(session.CommandState(), TCommandState::Connecting);

    session.RunCommand(cable);
    QCOMPARE(session.CommandState(), TCommandState::Idle);
    QCOMPARE(view.Caption, QStringLiteral("Подключить"));
    QCOMPARE(view.Status, QStringLiteral("Нет подключения"));
    QVERIFY(!view.Alarm);
    QVERIFY(view.InputsEnabled);
    QVERIFY(view.Log.contains(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку "
                                             "подключения в момент подключения к прибору")));
    QVERIFY(!session.Relay().PortOpen());
    QVERIFY(session.Dialer() == nullptr);
}

QTEST_MAIN(TstLinkSession)
#include "tst_link_session.moc"
