// The program refuses to run twice: the second start shows the warning and ends before it
// creates a window, while the first goes on. The program is started as a process of its own,
// built from its own start (lindqvar_test_build.cpp) so that its message boxes are answered.

#include "settings/Paths.h"
#include "support/TempConfig.h"
#include "support/WindowProbes.h"

#include <QFile>
#include <QProcess>
#include <QTest>

class TstSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondStartIsRefused();

private:
    QProcess *Start(const QString &dialogLog);
    TTempConfig FConfig;
};

QProcess *TstSingleInstance::Start(const QString &dialogLog)
{
    auto *process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    // The program's own start, with its message boxes written to dialogLog.
    process->start(QStringLiteral(LINDQVAR_TEST_BUILD), QStringList{dialogLog});
    return process;
}

void TstSingleInstance::secondStartIsRefused()
{
    QVERIFY(FConfig.IsValid());
    const QString firstLog = FConfig.Root() + QStringLiteral("/first.log");
    const QString secondLog = FConfig.Root() + QStringLiteral("/second.log");

    QProcess *first = Start(firstLog);
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(InstanceLockIsHeld(), 30000);

    QProcess *second = Start(secondLog);
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QFile log(secondLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(log.readAll()),
             QStringLiteral("warning\tПредупреждение\tПриложение уже запущено.\n"));

    QCOMPARE(first->state(), QProcess::Running);
    first->terminate();
    QVERIFY(first->waitForFinished(30000));

    // Once the first has ended, a new start is accepted again.
    QVERIFY(!InstanceLockIsHeld());
    QProcess *third = Start(secondLog + QStringLiteral(".3"));
    QTRY_VERIFY_WITH_TIMEOUT(InstanceLockIsHeld(), 30000);
    QCOMPARE(third->state(), QProcess::Running);
    third->terminate();
    QVERIFY(third->waitForFinished(30000));
}

QTEST_MAIN(TstSingleInstance)
#include "tst_single_instance.moc"
