#include "log/LOGUnit.h"
#include "log/ThreadLogWriter.h"
#include "support/LogLines.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

namespace
{

// Runs the work on a real worker thread while this (window) thread keeps processing its events,
// as the main window does while the dialer runs.
bool RunOnWorker(const std::function<void()> &work)
{
    std::unique_ptr<QThread> worker(QThread::create(work));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    if (!worker->isFinished()) {
        // Leave it running rather than destroy a running thread; the test fails anyway.
        worker.release();
        return false;
    }
    worker->wait();
    return true;
}

} // namespace

class TstThreadLogWriter : public QObject
{
    Q_OBJECT

private slots:
    void workerLinesKeepOrderAndWait()
    {
        TLOGForm form; // hidden: the dialer's lines are recorded all the same
        const int lines = 300;
        std::atomic<int> appended{0};
        std::atomic<bool> appendedElsewhere{false};
        QThread *windowThread = QThread::currentThread();
        connect(form.Log->model(), &QAbstractItemModel::rowsInserted, [&] {
            if (QThread::currentThread() != windowThread)
                appendedElsewhere = true;
            ++appended;
        });

        std::atomic<int> notYetAppended{-1};
        QVERIFY(RunOnWorker([&] {
            TThreadLogWriter writer(form.ThreadSink());
            for (int i = 0; i < lines; ++i) {
                writer.WriteThreadLog(QString("ответ %1").arg(i), ">>");
                // The call returns only after the window thread has appended the line.
                if (appended.load() != i + 1 && notYetAppended.load() < 0)
                    notYetAppended = i;
            }
        }));

        QCOMPARE(notYetAppended.load(), -1);
        QVERIFY(!appendedElsewhere.load());
        QVERIFY(!form.isVisible());
        QCOMPARE(form.Log->Lines().Count(), lines);
        for (int i = 0; i < lines; ++i)
            QVERIFY2(IsLogLine(form.Log->Lines().Line(i), QString(":>> ответ %1").arg(i)),
                     qPrintable(form.Log->Lines().Line(i)));
    }

    void messagePiecesAreSeparateLines()
    {
        TLOGForm form;
        QVERIFY(RunOnWorker([&] {
            TThreadLogWriter writer(form.ThreadSink());
            writer.WriteThreadLog("\r\nOK\r\n", ">>");
            writer.WriteThreadLog("Инициализация модема", "");
            writer.WriteThreadLog("a\nb", "<<");
        }));
        const QStringList tails = {":>> ", ":>> OK", ": Инициализация модема", ":<< a\nb"};
        QCOMPARE(form.Log->Lines().Count(), tails.size());
        for (int i = 0; i < tails.size(); ++i)
            QVERIFY2(IsLogLine(form.Log->Lines().Line(i), tails[i]),
                     qPrintable(form.Log->Lines().Line(i)));
    }

    void workerLinesAlwaysScrollToTheEnd()
    {
        TLOGForm form;
        form.resize(300, 120);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.AutiscrollCheckBox->isChecked());
        QVERIFY(RunOnWorker([&] {
            TThreadLogWriter writer(form.ThreadSink());
            for (int i = 0; i < 100; ++i)
                writer.WriteThreadLog(QString("line %1").arg(i), "");
        }));
        QScrollBar *bar = form.Log->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
    }

    void callOnTheWindowThreadDoesNotWaitForItself()
    {
        TLOGForm form;
        TThreadLogWriter writer(form.ThreadSink());
        writer.WriteThreadLog("a\rb", "");
        QCOMPARE(form.Log->Lines().Count(), 2);
        QVERIFY(IsLogLine(form.Log->Lines().Line(1), ": b"));
    }
};

QTEST_MAIN(TstThreadLogWriter)
#include "tst_threadlogwriter.moc"
