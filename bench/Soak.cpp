// The soak run: many cable links of the wizard's real main window, one after the other, each
// carrying its share of Echo exchanges, with the process's descriptors, threads and memory read
// before and after. A driver thread plays the user (connect, disconnect) and the setup program's
// connection; every link runs nested inside its connect click on this thread.

#include "Bench.h"
#include "FrameClient.h"

#include "app/MainFormUnit.h"
#include "app/MessagePump.h"
#include "controls/URLLabel.h"
#include "support/MainFormAccess.h"
#include "support/ToolHarness.h"
#include "support/WizardFixture.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cstdio>
#include <thread>

namespace
{

TProcessFigures ReadProcessFigures()
{
    TProcessFigures figures;
    figures.Descriptors = int(QDir(QStringLiteral("/proc/self/fd"))
                                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                                  .size());
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
            if (line.startsWith("Threads:"))
                figures.Threads = value.toInt();
            else if (line.startsWith("VmRSS:"))
                figures.RssKiB = value.split(' ').value(0).toLong();
        }
    }
    return figures;
}

void PrintFigures(const char *when, const TProcessFigures &f)
{
    std::printf("  %-28s descriptors %4d, threads %3d, RSS %7.1f MiB\n", when, f.Descriptors,
                f.Threads, double(f.RssKiB) / 1024.0);
    std::fflush(stdout);
}

class TSoakDriver
{
public:
    TSoakDriver(const TSoakOptions &options, TMainLindqvarForm &window, quint16 port,
                TSoakFigures &figures)
        : FOptions(options), FWindow(window), FPort(port), FFigures(figures)
    {
    }

    void Run()
    {
        const int perCycle = std::max(1, FOptions.Exchanges / std::max(1, FOptions.Cycles));
        for (int cycle = 0; cycle < FOptions.Cycles && FFigures.Error.empty(); ++cycle) {
            std::string error;
            if (!Cycle(perCycle, error)) {
                FFigures.Error = "cycle " + std::to_string(cycle + 1) + ": " + error;
                break;
            }
            ++FFigures.Cycles;
            // The first link warms up what stays for the life of the process (fonts, the
            // event dispatcher's own descriptors); the comparison starts after it.
            if (cycle == 0)
                OnWindow([this] { FFigures.Start = ReadProcessFigures(); });
            if ((cycle + 1) % 100 == 0) {
                std::printf("  %d links, %lld exchanges, %lld failed\n", cycle + 1,
                            FFigures.Exchanges, FFigures.Failed);
                std::fflush(stdout);
            }
        }
        OnWindow([this] { FFigures.End = ReadProcessFigures(); });
    }

private:
    template <typename F> void OnWindow(F function)
    {
        QMetaObject::invokeMethod(&FWindow, function, Qt::BlockingQueuedConnection);
    }

    // Waits until the window, asked between its own steps, answers true.
    bool Await(const std::function<bool()> &condition, int timeoutMs)
    {
        const double deadline = MonotonicMs() + timeoutMs;
        for (;;) {
            bool met = false;
            OnWindow([&] { met = condition(); });
            if (met)
                return true;
            if (MonotonicMs() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool Cycle(int exchanges, std::string &error)
    {
        TMainLindqvarForm &w = FWindow;
        QMetaObject::invokeMethod(
            &w, [&w] { w.URLLabel1Click(); }, Qt::QueuedConnection);
        if (!Await([&w] { return w.Session().CommandState() == TCommandState::Connected; },
                   30000)) {
            error = "the link did not come up";
            return false;
        }
        TFrameClient client;
        if (!client.Connect(FPort, 10000, error))
            return false;
        if (!Await([&w] { return w.Session().Relay().SetupConnected(); }, 10000)) {
            error = "the wizard did not take the connection";
            return false;
        }
        for (int i = 0; i < exchanges; ++i) {
            std::string payload(FOptions.EchoSize, '\0');
            for (std::size_t k = 0; k < payload.size(); ++k)
                payload[k] = char((std::size_t(FFigures.Exchanges) * 7 + k * 13) & 0xFF);
            double ms = 0;
            std::string failure;
            ++FFigures.Exchanges;
            if (!client.Echo(std::uint8_t(i), payload, 10000, ms, failure)) {
                // A lost, doubled or reordered byte shows as a wrong or missing reply; the
                // connection's stream is out of step after it, so the link ends here.
                ++FFigures.Failed;
                if (FFigures.Failed <= 20)
                    std::printf("  exchange %lld failed: %s\n", FFigures.Exchanges,
                                failure.c_str());
                break;
            }
        }
        client.Close();
        OnWindow([&w] { w.URLLabel1Click(); }); // disconnect, inside the link's dispatch
        // The link has ended once its loop has returned.
        if (!Await(
                [&w] {
                    return !w.Session().LinkRunning() &&
                           w.Session().CommandState() == TCommandState::Idle;
                },
                30000)) {
            error = "the link did not end";
            return false;
        }
        return true;
    }

    const TSoakOptions &FOptions;
    TMainLindqvarForm &FWindow;
    quint16 FPort;
    TSoakFigures &FFigures;
};

} // namespace

TSoakFigures RunSoak(const TSoakOptions &options, TWizardFixture &world)
{
    TSoakFigures figures;
    ToolProcess device;
    quint16 port = 0;
    if (!SetUpCableLink(device, world, port, figures.Error))
        return figures;
    TMainLindqvarForm &w = world.Main();

    PrintFigures("before the first link:", ReadProcessFigures());
    TSoakDriver driver(options, w, port, figures);
    std::atomic<bool> done{false};
    std::thread thread([&] {
        driver.Run();
        done = true;
    });
    while (!done.load())
        DelayDispatching(20);
    thread.join();
    PrintFigures("after the first link:", figures.Start);
    PrintFigures("at the end:", figures.End);
    return figures;
}
