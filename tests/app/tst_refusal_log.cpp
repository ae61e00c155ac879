// What the log says of refused connections: one line for the first of a burst, then counts
// instead of a line each, on the tick clock (run fast here).
#include "app/RefusalLog.h"
#include "platform/TickClock.h"

#include <QTest>

class TstRefusalLog : public QObject
{
    Q_OBJECT

private slots:
    void init() { TickClock::SetSpeed(50); } // 10 s of the clock take 200 ms
    void cleanup() { TickClock::SetSpeed(1); }
    void burstIsCountedOnceItIsOver();
    void longBurstIsCountedEveryTenSeconds();
};

void TstRefusalLog::burstIsCountedOnceItIsOver()
{
    QStringList lines;
    TRefusalLog log([&](const QString &line) { lines << line; });
    for (int i = 0; i < 1000; ++i)
        log.Refused(65534);
    log.Refused(-1);
    log.Refused(-1);
    QCOMPARE(lines,
             QStringList({"Отклонено подключение к серверу TCP программы другого пользователя "
                          "(uid 65534)",
                          "Отклонено подключение к серверу TCP: не удалось определить, чья это "
                          "программа"}));
    QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 4, 5000);
    QVERIFY(lines.contains("Отклонено ещё подключений к серверу TCP программы другого "
                           "пользователя (uid 65534): 999"));
    QVERIFY(lines.contains("Отклонено ещё подключений к серверу TCP, чья программа не "
                           "определена: 1"));

    // Quiet for longer than a burst: the next refusal is a new burst with a line of its own.
    QTest::qWait(300);
    log.Refused(65534);
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.last(), lines.first());
    // A burst of one leaves no count behind.
    QTest::qWait(600);
    QCOMPARE(lines.size(), 5);
}

void TstRefusalLog::longBurstIsCountedEveryTenSeconds()
{
    QStringList lines;
    TRefusalLog log([&](const QString &line) { lines << line; });
    // Refusals every 20 ms of real time (1 s of the clock) for about 50 s of the clock.
    QElapsedTimer clock;
    clock.start();
    int refused = 0;
    while (clock.elapsed() < 1000) {
        log.Refused(1000);
        ++refused;
        QTest::qWait(20);
    }
    const auto counted = [&lines] {
        int sum = 0;
        for (const QString &line : lines.mid(1)) {
            if (line.startsWith("Отклонено ещё подключений к серверу TCP программы другого "
                                "пользователя (uid 1000): "))
                sum += line.section(u' ', -1).toInt();
        }
        return sum;
    };
    // Once the burst is over every refusal is accounted for, the first by its own line.
    QTRY_COMPARE_WITH_TIMEOUT(counted() + 1, refused, 5000);
    // Counts came while it lasted (about every 10 s of its 50), not only one at its end.
    QVERIFY2(lines.size() >= 3 && lines.size() <= 7, qPrintable(lines.join(u'\n')));
}

QTEST_MAIN(TstRefusalLog)
#include "tst_refusal_log.moc"
