// The wizard under measurement: its four windows, a cable link to the device stand-in, and a
// driver thread that plays the setup program's connection and takes the figures while the link
// runs nested inside the connect click on this thread.

#include "Bench.h"
#include "FrameClient.h"

#include "app/MainFormUnit.h"
#include "app/MessagePump.h"
#include "controls/URLLabel.h"
#include "line/callin/CallInListener.h"
#include "log/LOGUnit.h"
#include "support/ForeignClient.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Ser2Net.h"
#include "support/TestCertificates.h"
#include "support/ToolHarness.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <malloc.h>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
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

// What a run measures: everything, or the relay's round trips and bulk alone.
enum class TPhases { All, RelayOnly };

struct TDriver {
    const TBenchOptions &Options;
    TPhases Phases;
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
                if (Window.Session().CommandState() == TCommandState::Connected)
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

        if (Phases == TPhases::RelayOnly)
            return RunExchanges(client, Options, false, Figures.RoundTripMs, error) &&
                   Reconnect(client, error) && Bulk(client, Figures.Bulk, error);

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
        // What the shown window itself takes is not the lines'.
        OnWindow([this] { Figures.LiveBeforeLogKiB = LiveRssKiB(); });
        if (!Reconnect(client, error) || !Bulk(client, Figures.BulkLog, error))
            return false;
        Figures.RssAfterLogKiB = PeakRssKiB();
        OnWindow([this] { Figures.LiveAfterLogKiB = LiveRssKiB(); });
        OnWindow([this] { Figures.LogLines = Log.Log->Lines().Count(); });
        return Flood(client, error);
    }

    int RefusalLines()
    {
        int lines = 0;
        OnWindow([&] {
            const TLogModel &log = Log.Log->Lines();
            for (int i = 0; i < log.Count(); ++i)
                lines += log.Line(i).contains(QStringLiteral("Отклонено")) ? 1 : 0;
        });
        return lines;
    }

    // Another user's program connects over and over while the setup program exchanges as usual;
    // the log is shown, so every line the refusals leave is counted.
    bool Flood(TFrameClient &client, std::string &error)
    {
        if (Options.RefusedConnects <= 0 || !TForeignClient::CanRun())
            return true;
        const int linesBefore = RefusalLines();
        const long rssBefore = CurrentRssKiB();
        Passes.Restart();
        const double start = MonotonicMs();
        TForeignClient flood(Port, QByteArray(), Options.RefusedConnects);
        TBenchOptions exchanges = Options;
        exchanges.Exchanges = std::max(1, Options.Exchanges / 5);
        if (!RunExchanges(client, exchanges, true, Figures.FloodRoundTripMs, error))
            return false;
        const bool allRefused = flood.WasClosedByTheServer();
        Figures.FloodSeconds = (MonotonicMs() - start) / 1000.0;
        Figures.FloodPassMs = Passes.Periods();
        if (!allRefused) {
            error = "the other user's connections were not all closed by the wizard";
            return false;
        }
        Figures.Refused = Options.RefusedConnects;
        // The burst is counted once it has been quiet for 10 s.
        std::this_thread::sleep_for(std::chrono::milliseconds(12000));
        Figures.RefusalLogLines = RefusalLines() - linesBefore;
        Figures.FloodRssAddedKiB = CurrentRssKiB() - rssBefore;
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

long CurrentRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

long LiveRssKiB()
{
    ::malloc_trim(0);
    return CurrentRssKiB();
}

namespace
{

// Starts the windows for a cable link on COM4, which the port map names as given, the log window
// hidden (the first bulk is measured without it). Started once the device's port is there: the
// windows list the ports at creation.
bool StartCableWindows(TWizardFixture &world, unsigned short &port, std::string &error)
{
    if (!world.StartOnPort(QStringLiteral("COM4"), TConnectionType::Cable, false)) {
        error = "the wizard did not start with the device's port COM4 and an endpoint port";
        return false;
    }
    port = world.ServerPort;
    return true;
}

TRelayFigures DriveLink(const TBenchOptions &options, TWizardFixture &world, quint16 port,
                        TPhases phases)
{
    TRelayFigures figures;
    figures.Ran = true;
    TMainLindqvarForm &w = world.Main();
    clockid_t windowCpu{};
    pthread_getcpuclockid(pthread_self(), &windowCpu);
    TPassLog passes;
    w.Session().SetPassObserver(
        [&] { passes.Note(MonotonicMs(), w.Session().Relay().SetupConnected()); });
    std::atomic<bool> linkEnded{false};
    std::atomic<bool> driverDone{false};
    TDriver driver{options, phases,    w,      *world.Windows->LOGForm, passes, windowCpu,
                   port,    linkEnded, figures};
    std::thread thread([&] {
        driver.Run();
        driverDone = true;
    });

    w.URLLabel1Click(); // the whole link runs in here
    linkEnded = true;
    // The driver may still be handing something to this thread.
    while (!driverDone.load())
        DelayDispatching(20);
    thread.join();
    w.Session().SetPassObserver(nullptr);
    figures.PeakRssKiB = PeakRssKiB();
    return figures;
}

} // namespace

bool SetUpCableLink(ToolProcess &device, TWizardFixture &world, unsigned short &port,
                    std::string &error)
{
    if (!device.startOnPort(QStringLiteral("lindqvar-device"), QStringLiteral("COM4"))) {
        error = "the device stand-in did not start";
        return false;
    }
    return StartCableWindows(world, port, error);
}

TRelayFigures RunWizard(const TBenchOptions &options, TWizardFixture &world)
{
    ToolProcess device;
    quint16 port = 0;
    TRelayFigures failed;
    failed.Ran = true;
    if (!SetUpCableLink(device, world, port, failed.Error))
        return failed;
    return DriveLink(options, world, port, TPhases::All);
}

TRelayFigures RunWizardOverSer2Net(const TBenchOptions &options, TWizardFixture &world, bool tls)
{
    TRelayFigures failed;
    failed.Ran = true;
    ToolProcess device;
    const QString pty = device.start(QStringLiteral("lindqvar-device"), {})
                            ? device.waitLine(QStringLiteral("PTY "))
                            : QString();
    if (pty.isEmpty()) {
        failed.Error = "the device stand-in did not start";
        return failed;
    }
    // Over TLS: the server's certificate from a CA of the run's own, which the line trusts.
    TTestCertificates certificates;
    std::optional<TSer2Net::TTls> serverTls;
    if (tls) {
        if (!certificates.Make()) {
            failed.Error = "the certificates could not be made";
            return failed;
        }
        serverTls = TSer2Net::TTls{certificates.Pem(QStringLiteral("server")),
                                   certificates.Key(QStringLiteral("server")),
                                   {}};
    }
    TSer2Net server(pty, TSer2Net::TProtocol::Rfc2217, serverTls);
    if (!server.Start()) {
        failed.Error = "ser2net did not start";
        return failed;
    }
    const QString path =
        tls ? server.Url() + QStringLiteral("?ca=") + certificates.Pem(QStringLiteral("ca"))
            : server.Url();
    world.Windows.reset();
    quint16 port = 0;
    if (!world.Config.WritePortMap({QStringLiteral("COM4=") + path}) ||
        !StartCableWindows(world, port, failed.Error))
        return failed;
    return DriveLink(options, world, port, TPhases::RelayOnly);
}

namespace
{

// Callers that connect, send a wrong registration and hang up, one after another, from a thread
// of their own; how many got through.
int CallWithWrongIds(quint16 port, int count)
{
    int made = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
            ::send(fd, "WRONG", 5, MSG_NOSIGNAL) == 5)
            ++made;
        if (fd >= 0)
            ::close(fd);
    }
    return made;
}

} // namespace

TRelayFigures RunWizardCalledIn(const TBenchOptions &options, TWizardFixture &world)
{
    TRelayFigures failed;
    failed.Ran = true;
    world.Windows.reset();
    const quint16 listen = FreeTcpPort();
    const QString com = QStringLiteral("COM4");
    if (listen == 0 ||
        !world.Config.WritePortMap(
            {com + QStringLiteral("=listen://127.0.0.1:%1?id=BENCH&heartbeat=PING").arg(listen)}) ||
        !world.Start()) {
        failed.Error = "the wizard did not start with a listen:// line";
        return failed;
    }
    // No port is there until the device calls: the start's "no ports" box is expected here.
    if (!world.Dialogs.Boxes.isEmpty() &&
        world.Dialogs.Boxes.back().Text == QStringLiteral("Нет доступных COM портов."))
        world.Dialogs.Boxes.removeLast();
    TCallInListener *listener = TCallInListener::Current();
    int logLines = 0;
    if (listener != nullptr)
        QObject::connect(listener, &TCallInListener::Log, [&logLines] { ++logLines; });

    // The burst first, while nothing else goes on: its log lines and what it costs in memory.
    if (options.BadCallers > 0 && listener != nullptr) {
        const long before = LiveRssKiB();
        QElapsedTimer clock;
        clock.start();
        std::atomic<bool> done{false};
        int made = 0;
        std::thread burst([&] {
            made = CallWithWrongIds(listen, options.BadCallers);
            done = true;
        });
        while (!done)
            QTest::qWait(20);
        burst.join();
        // Every caller refused, and a count written after the 10 s of the burst.
        QTest::qWait(int(TCallInListener::BurstMs) + 1500);
        failed.BadCallersSeconds = double(clock.elapsed()) / 1000.0;
        failed.BadCallers = made;
        failed.BadCallerLogLines = logLines;
        failed.BadCallersRssAddedKiB = std::max(0L, LiveRssKiB() - before);
    }

    ToolProcess device;
    if (!device.start(QStringLiteral("lindqvar-device"),
                      {QStringLiteral("--call-in"), QStringLiteral("127.0.0.1:%1").arg(listen),
                       QStringLiteral("--id"), QStringLiteral("BENCH"),
                       QStringLiteral("--heartbeat"), QStringLiteral("PING"),
                       QStringLiteral("--heartbeat-every"), QStringLiteral("30"),
                       QStringLiteral("--recall-after"), QStringLiteral("0.5")})) {
        failed.Error = "the device stand-in did not start";
        return failed;
    }
    QComboBox *ports = Ui(world.Main()).PortsListComboBox;
    for (int waited = 0; ports->findText(com) < 0 && waited < 20000; waited += 20)
        QTest::qWait(20);
    if (!world.ChooseLink(com, TConnectionType::Cable)) {
        failed.Error = "the device that calls in was not listed within 20 s";
        return failed;
    }
    TRelayFigures figures = DriveLink(options, world, world.ServerPort, TPhases::RelayOnly);
    figures.BadCallers = failed.BadCallers;
    figures.BadCallerLogLines = failed.BadCallerLogLines;
    figures.BadCallersRssAddedKiB = failed.BadCallersRssAddedKiB;
    figures.BadCallersSeconds = failed.BadCallersSeconds;
    return figures;
}
