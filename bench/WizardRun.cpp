// The wizard under measurement: its four windows, a cable link to the device stand-in, and a
// driver thread that plays the setup program's connection and takes the figures while the link
// runs nested inside the connect click on this thread.

#include "Bench.h"
#include "FrameClient.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "log/LOGUnit.h"
#include "settings/Paths.h"
#include "support/MainFormAccess.h"
#include "support/ToolHarness.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>

#include <atomic>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <vector>

namespace
{

// Pass starts noted on the window thread, read on the driver thread.
class TPassLog
{
public:
    void Note(double ms, bool setupConnected)
    {
        const std::lock_guard lock(FMutex);
        FStarts.push_back(ms);
        FPasses.fetch_add(1);
        FSetupConnected = setupConnected;
    }
    int Passes() const { return FPasses.load(); }
    bool SetupConnected() const { return FSetupConnected.load(); }
    void Restart()
    {
        const std::lock_guard lock(FMutex);
        FStarts.clear();
    }
    // The intervals between the pass starts noted since the last Restart.
    TSeries Periods()
    {
        const std::lock_guard lock(FMutex);
        TSeries periods;
        for (std::size_t i = 1; i < FStarts.size(); ++i)
            periods.Add(FStarts[i] - FStarts[i - 1]);
        return periods;
    }

private:
    std::mutex FMutex;
    std::vector<double> FStarts;
    std::atomic<int> FPasses{0};
    std::atomic<bool> FSetupConnected{false};
};

double ThreadCpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long PeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool WaitFor(const std::function<bool()> &condition, const std::atomic<bool> &abandon, int ms)
{
    const double deadline = MonotonicMs() + ms;
    while (!condition()) {
        if (abandon.load() || MonotonicMs() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct TDriver {
    const TBenchOptions &Options;
    TMainLindqvarForm &Window;
    TLOGForm &Log;
    TPassLog &Passes;
    clockid_t WindowCpu;
    quint16 Port;
    const std::atomic<bool> &LinkEnded;
    TRelayFigures &Figures;

    // Runs a function on the window thread, inside the link's dispatches, and waits for it.
    template <typename F> void OnWindow(F function)
    {
        QMetaObject::invokeMethod(&Window, function, Qt::BlockingQueuedConnection);
    }

    bool Bulk(TFrameClient &client, TBulkFigures &bulk, std::string &error)
    {
        Passes.Restart();
        const double cpu0 = ThreadCpuSeconds(WindowCpu);
        double seconds = 0;
        if (!client.Bulk(Options.BulkBytes, Options.FrameSize, 30000, seconds, error))
            return false;
        const double cpu1 = ThreadCpuSeconds(WindowCpu);
        bulk.PassMs = Passes.Periods();
        bulk.KiBs = double(Options.BulkBytes) / 1024.0 / seconds;
        bulk.CpuPercent = CpuPercent(cpu1 - cpu0, seconds);
        return true;
    }

    // A new connection of the client, once the wizard has seen the old one go.
    bool Reconnect(TFrameClient &client, std::string &error)
    {
        client.Close();
        if (!WaitFor([this] { return !Passes.SetupConnected(); }, LinkEnded, 10000)) {
            error = "the wizard did not notice the closed connection";
            return false;
        }
        // The closed connection leaves the endpoint's list at the next turn of the event loop.
        const int seen = Passes.Passes();
        WaitFor([&] { return Passes.Passes() > seen + 1; }, LinkEnded, 10000);
        if (!client.Connect(Port, 10000, error))
            return false;
        if (!WaitFor([this] { return Passes.SetupConnected(); }, LinkEnded, 10000)) {
            error = "the wizard did not take the new connection";
            return false;
        }
        return true;
    }

    void Run()
    {
        std::string error;
        if (!Measure(error))
            Figures.Error = error;
        if (!LinkEnded.load())
            OnWindow([this] {
                if (Window.CommandState() == TCommandState::Connected)
                    Window.URLLabel1Click();
            });
    }

    bool Measure(std::string &error)
    {
        if (!WaitFor([this] { return Passes.Passes() > 0; }, LinkEnded, 30000)) {
            error = "the link did not come up";
            return false;
        }
        TFrameClient client;
        if (!client.Connect(Port, 10000, error))
            return false;
        if (!WaitFor([this] { return Passes.SetupConnected(); }, LinkEnded, 10000)) {
            error = "the wizard did not take the connection";
            return false;
        }

        // Idle link: nothing moves, the client sleeps.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Passes.Restart();
        const double wall0 = MonotonicMs();
        const double cpu0 = ThreadCpuSeconds(WindowCpu);
        std::this_thread::sleep_for(std::chrono::milliseconds(Options.IdleMs));
        const double cpu1 = ThreadCpuSeconds(WindowCpu);
        const double wall1 = MonotonicMs();
        Figures.IdlePassMs = Passes.Periods();
        Figures.IdleCpuPercent = CpuPercent(cpu1 - cpu0, (wall1 - wall0) / 1000.0);

        if (!RunExchanges(client, Options, false, Figures.RoundTripMs, error) ||
            !RunExchanges(client, Options, true, Figures.RoundTripPacedMs, error))
            return false;

        if (!Reconnect(client, error) || !Bulk(client, Figures.Bulk, error) ||
            !Bulk(client, Figures.BulkAgain, error))
            return false;
        Figures.RssBeforeLogKiB = PeakRssKiB();

        OnWindow([this] { Log.show(); });
        if (!Reconnect(client, error) || !Bulk(client, Figures.BulkLog, error))
            return false;
        OnWindow([this] { Figures.LogLines = Log.Log->count(); });
        return true;
    }
};

} // namespace

bool PrepareWorld(TWizardFixture &world, std::string &error)
{
    const QString program = world.ProgramDir() + QStringLiteral("BenchSetup");
    QFile setup(program);
    if (!world.Config.IsValid() || !world.WriteSetupIni("[programs]\nDEMO=BenchSetup\n") ||
        !setup.open(QIODevice::WriteOnly) || setup.write("#!/bin/sh\nexec sleep infinity\n") < 0 ||
        !setup.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        error = "cannot prepare the private directories in " + world.Config.Root().toStdString();
        return false;
    }
    return true;
}

bool SetUpCableLink(ToolProcess &device, TWizardFixture &world, unsigned short &port,
                    std::string &error)
{
    const QString com = QStringLiteral("COM4");
    if (!device.start(
            QStringLiteral("lindqvar-device"),
            {QStringLiteral("--ports-conf"), Paths::PortMapFile(), QStringLiteral("--com"), com}) ||
        device.waitLine(QStringLiteral("PTY ")).isEmpty()) {
        error = "the device stand-in did not start";
        return false;
    }
    // Started once the device's port is there: the windows list the ports at creation.
    if (!world.Start()) {
        error = "the main window was not shown";
        return false;
    }
    TMainLindqvarForm &w = world.Main();
    w.SelectComboItem(w.PortsListComboBox, com);
    if (w.PortsListComboBox->currentText() != com) {
        error = "the device's port is not in the wizard's port list";
        return false;
    }
    w.ConnectTypeComboBox->setCurrentIndex(1);
    w.ConnectTypeComboBoxChange();
    port = world.UseFreeServerPort();
    return port != 0;
}

TRelayFigures RunWizard(const TBenchOptions &options, TWizardFixture &world)
{
    TRelayFigures figures;
    figures.Ran = true;
    ToolProcess device;
    quint16 port = 0;
    if (!SetUpCableLink(device, world, port, figures.Error))
        return figures;
    TMainLindqvarForm &w = world.Main();

    clockid_t windowCpu{};
    pthread_getcpuclockid(pthread_self(), &windowCpu);
    TPassLog passes;
    State(w).PassObserver = [&] { passes.Note(MonotonicMs(), State(w).FSetupConnected); };
    std::atomic<bool> linkEnded{false};
    std::atomic<bool> driverDone{false};
    TDriver driver{options,   w,      *world.Windows->LOGForm, passes, windowCpu, port,
                   linkEnded, figures};
    std::thread thread([&] {
        driver.Run();
        driverDone = true;
    });

    w.URLLabel1Click(); // the whole link runs in here
    linkEnded = true;
    // The driver may still be handing something to this thread.
    while (!driverDone.load())
        w.Delay(20);
    thread.join();
    State(w).PassObserver = nullptr;
    figures.PeakRssKiB = PeakRssKiB();
    return figures;
}
