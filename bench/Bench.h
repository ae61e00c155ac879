#pragma once
// What one benchmark run measures, for the wizard's relay and for the socat reference.
#include "Stats.h"

#include <cstddef>
#include <memory>
#include <string>
#include <time.h>

class TWizardFixture;
class ToolProcess;

struct TBenchOptions {
    int IdleMs = 10000;
    int Exchanges = 1000;
    std::size_t EchoSize = 64;
    std::size_t BulkBytes = std::size_t(4) << 20;
    std::size_t FrameSize = 4096; // the device protocol's largest payload
    bool Socat = true;
    // The same round trips and bulk with the device behind ser2net (RFC 2217), in clear text and
    // over TLS.
    bool Ser2Net = true;
    // The same with a device that calls in, and callers with a wrong id in one burst.
    bool CallIn = true;
    int BadCallers = 10000;
    // Connections of another user, refused, in one burst during the link (root only).
    int RefusedConnects = 10000;
    // Lines put into the log window for its row at scale.
    int LogScaleLines = 1000000;
};

struct TBulkFigures {
    double KiBs = -1;
    double CpuPercent = -1; // the relaying thread or process, percent of one core
    TSeries PassMs;         // wizard only
};

struct TRelayFigures {
    bool Ran = false;
    std::string Error; // empty when every phase completed
    // Idle link: CPU of the relaying thread (wizard) or process (socat), percent of one core.
    double IdleCpuPercent = -1;
    // Intervals between the starts of consecutive relay passes (wizard only).
    TSeries IdlePassMs;
    TSeries RoundTripMs;      // each request sent as soon as the previous reply is in
    TSeries RoundTripPacedMs; // each request after a random pause of 0 to 50 ms (wizard only)
    // Bulk transfers on a fresh connection, with the log window hidden and shown, and once
    // more on the connection that has just carried the first one.
    TBulkFigures Bulk;
    TBulkFigures BulkAgain;
    TBulkFigures BulkLog;
    int LogLines = -1;
    long PeakRssKiB = -1;      // whole process at the end of the run
    long RssBeforeLogKiB = -1; // wizard: before the log window was shown
    long RssAfterLogKiB = -1;  // wizard: peak after the bulk with the log shown
    // Wizard: live resident memory (freed memory given back first) with the log window shown,
    // before and after its bulk.
    long LiveBeforeLogKiB = -1;
    long LiveAfterLogKiB = -1;

    // A burst of refused connections during the link, with the setup program's exchanges going
    // on (wizard only; -1 when not run).
    int Refused = -1;           // connections the wizard closed
    int RefusalLogLines = -1;   // log lines they left
    long FloodRssAddedKiB = -1; // resident memory (not peak) after the burst, less before it
    TSeries FloodPassMs;
    TSeries FloodRoundTripMs;
    double FloodSeconds = -1;

    // Callers with a wrong registration in one burst, before a called-in device's link (-1 when
    // not run).
    int BadCallers = -1;
    int BadCallerLogLines = -1;
    long BadCallersRssAddedKiB = -1;
    double BadCallersSeconds = -1;
};

// The log window at scale: lines appended, shown, saved and cleared on the window thread.
struct TLogScaleFigures {
    int Lines = 0;
    long RssCostKiB = -1; // resident memory after the appends, less before them
    double AppendSeconds = -1;
    double ScrollMs = -1;
    // The window thread's CPU while 2,000 more lines a second arrive, percent of a core.
    double GoingOnCpuPercent = -1;
    double SaveSeconds = -1;
    double SavedMiB = -1;
    double ClearMs = -1;
    std::string Error;
};

struct TSoakOptions {
    int Cycles = 1000;
    int Exchanges = 100000; // in all, shared out evenly over the links
    std::size_t EchoSize = 64;
};

// What /proc says of this process.
struct TProcessFigures {
    int Descriptors = -1;
    int Threads = -1;
    long RssKiB = -1;
};

struct TSoakFigures {
    int Cycles = 0; // links made and ended
    long long Exchanges = 0;
    long long Failed = 0;  // a reply missing, wrong or out of order
    TProcessFigures Start; // after the first link
    TProcessFigures End;
    std::string Error; // empty when every link came up and ended
};

// The benchmark's private world (tests/support): its own config and runtime directories, an
// empty discovery tree, a program directory whose setup.ini names a setup program that only
// waits (the benchmark's own client is the setup program's connection), and message boxes
// answered at once and recorded.
bool PrepareWorld(TWizardFixture &world, std::string &error);
// Starts the device stand-in as COM4, then the wizard's windows, set for a cable link to it with
// the endpoint on a free TCP port. False with the reason when either cannot be set up.
bool SetUpCableLink(ToolProcess &device, TWizardFixture &world, unsigned short &port,
                    std::string &error);

// Connects and disconnects cable links of the wizard's real main window to the device stand-in
// over and over, with Echo exchanges on each, and reads the process's figures around them.
TSoakFigures RunSoak(const TSoakOptions &options, TWizardFixture &world);

// Drives a cable link of the wizard's real main window (on the calling thread, which must own
// the application object) with the device stand-in on a pty and a client on its own thread.
TRelayFigures RunWizard(const TBenchOptions &options, TWizardFixture &world);

// Round trips and bulk (the log hidden) with the device stand-in behind ser2net on 127.0.0.1,
// reached as rfc2217:// or, with tls, as rfc2217+tls:// (certificates made for the run); the idle,
// paced and log phases are left out.
TRelayFigures RunWizardOverSer2Net(const TBenchOptions &options, TWizardFixture &world, bool tls);

// Round trips and bulk (the log hidden) with the device stand-in calling in as a router in TCP
// client mode, on a listen:// line of 127.0.0.1; before the link, a burst of callers with a wrong
// registration.
TRelayFigures RunWizardCalledIn(const TBenchOptions &options, TWizardFixture &world);

// Fills the log window (shown, autoscroll off) with lines like a relay's, then scrolls it to
// the end, saves it through its "Сохранить" and clears it through "Очистить".
TLogScaleFigures RunLogScale(int lines, TWizardFixture &world);

// The resident memory of the process now (VmRSS), in KiB.
long CurrentRssKiB();
// The same once the allocator has given freed memory back to the system: what is live.
long LiveRssKiB();

// The same measurements with socat relaying a device pty to TCP.
TRelayFigures RunSocat(const TBenchOptions &options);

// Runs the Echo exchanges of a run; with paced set, each request follows a pseudo-random pause
// of 0 to 50 ms, so that requests meet the relay at every point of its cycle.
class TFrameClient;
bool RunExchanges(TFrameClient &client, const TBenchOptions &options, bool paced, TSeries &ms,
                  std::string &error);

// Percent of one core: CPU seconds over wall seconds.
inline double CpuPercent(double cpuSeconds, double wallSeconds)
{
    return wallSeconds > 0 ? 100.0 * cpuSeconds / wallSeconds : -1;
}

// The CPU seconds a clock has counted (a thread's: CLOCK_THREAD_CPUTIME_ID for the calling one).
inline double ThreadCpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
