// The one deadline and interruption helper of the program's blocking waits, and the tick clock,
// with signals arriving all the time as they may in the program.
#include "platform/Deadline.h"
#include "platform/TickClock.h"

#include <QElapsedTimer>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace
{

// Delivers SIGALRM every few milliseconds, without SA_RESTART, so that blocking calls fail with
// EINTR over and over while it lives.
class TSignalRain
{
public:
    TSignalRain()
    {
        struct sigaction action {
        };
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGALRM, &action, &FOld);
        const itimerval every{{0, 3000}, {0, 3000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~TSignalRain()
    {
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &FOld, nullptr);
    }

private:
    struct sigaction FOld {
    };
};

struct TPipe {
    int Read = -1;
    int Write = -1;
    TPipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            Read = fds[0];
            Write = fds[1];
        }
    }
    ~TPipe()
    {
        for (int fd : {Read, Write})
            if (fd >= 0)
                ::close(fd);
    }
};

} // namespace

class TstWaits : public QObject
{
    Q_OBJECT

private slots:
    void waitLastsItsWholeTimeThroughSignals();
    void waitSeesDataAndHangUp();
    void interruptedCallIsRetried();
    void remainingTimeRoundsUp();
    void fastClockShortensWaits();
};

void TstWaits::waitLastsItsWholeTimeThroughSignals()
{
    TPipe pipe;
    QVERIFY(pipe.Read >= 0);
    TSignalRain rain;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(WaitForDescriptor(pipe.Read, POLLIN, TDeadline(std::chrono::milliseconds(200))), 0);
    // Never shorter than asked, however often a signal ends the poll early.
    QVERIFY2(clock.elapsed() >= 200, qPrintable(QString::number(clock.elapsed())));
}

void TstWaits::waitSeesDataAndHangUp()
{
    TPipe pipe;
    QVERIFY(pipe.Read >= 0);
    const TDeadline later(std::chrono::seconds(30));
    QCOMPARE(::write(pipe.Write, "x", 1), ssize_t(1));
    QCOMPARE(WaitForDescriptor(pipe.Read, POLLIN, later) & POLLIN, POLLIN);
    char c;
    QCOMPARE(::read(pipe.Read, &c, 1), ssize_t(1));
    // The other end gone: reported at once, although POLLHUP was not asked for.
    ::close(pipe.Write);
    pipe.Write = -1;
    QCOMPARE(WaitForDescriptor(pipe.Read, POLLIN, later) & POLLHUP, POLLHUP);
    QVERIFY(!later.Expired());
}

void TstWaits::interruptedCallIsRetried()
{
    TPipe pipe;
    QVERIFY(pipe.Read >= 0);
    TSignalRain rain;
    ssize_t written = -1;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        written = RetryOnInterrupt([&] { return ::write(pipe.Write, "late", 4); });
    });
    char buffer[8];
    // A blocking read that every signal interrupts still ends with the data.
    const ssize_t got = RetryOnInterrupt([&] { return ::read(pipe.Read, buffer, sizeof buffer); });
    writer.join();
    QCOMPARE(written, ssize_t(4));
    QCOMPARE(got, ssize_t(4));
    QCOMPARE(QByteArray(buffer, 4), QByteArray("late"));
}

void TstWaits::remainingTimeRoundsUp()
{
    const TDeadline soon(std::chrono::microseconds(300));
    // Less than a millisecond left still counts as one, so a wait on it is not a busy spin.
    QVERIFY(soon.RemainingMs() == 1 || soon.Expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QCOMPARE(soon.RemainingMs(), 0);
    QVERIFY(soon.Expired());
}

void TstWaits::fastClockShortensWaits()
{
    TickClock::SetSpeed(20);
    QElapsedTimer clock;
    clock.start();
    const std::uint32_t start = TickClock::Now();
    TickClock::Sleep(1000);
    const std::uint32_t passed = TickClock::Since(start);
    const qint64 real = clock.elapsed();
    TickClock::SetSpeed(1);
    // At least the clock time asked for passed on the clock, in a twentieth of it in real time.
    QVERIFY2(passed >= 1000, qPrintable(QString::number(passed)));
    QVERIFY2(real >= 50 && real < 1000, qPrintable(QString::number(real)));
}

QTEST_GUILESS_MAIN(TstWaits)
#include "tst_waits.moc"
