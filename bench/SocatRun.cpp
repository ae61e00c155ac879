// The reference: socat relaying the device stand-in's pty to a TCP port, measured with the same
// client and the same phases as the wizard.

#include "Bench.h"
#include "FrameClient.h"
#include "support/ToolHarness.h"
#include "support/WizardFixture.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <thread>
#include <unistd.h>

namespace
{

// User and system CPU seconds of a process, from /proc/<pid>/stat; negative when unreadable.
double ProcessCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// The peak resident size of a process (VmHWM) in KiB; negative when unreadable.
long ProcessPeakRssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

TRelayFigures RunSocat(const TBenchOptions &options)
{
    TRelayFigures figures;
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty()) {
        figures.Error = "socat is not installed (scripts/install-deps installs it)";
        return figures;
    }
    figures.Ran = true;
    ToolProcess device;
    QString pty;
    if (!device.start(QStringLiteral("lindqvar-device"), {}) ||
        (pty = device.waitLine(QStringLiteral("PTY "))).isEmpty()) {
        figures.Error = "the device stand-in did not start";
        return figures;
    }
    const quint16 port = FreeTcpPort();
    ToolProcess relay;
    if (!relay.startProgram(socat,
                            {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port),
                             pty + QStringLiteral(",raw,echo=0")})) {
        figures.Error = "socat did not start";
        return figures;
    }

    std::string failure;
    TFrameClient client;
    if (!client.Connect(port, 10000, failure)) {
        figures.Error = failure;
        return figures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double wall0 = MonotonicMs();
    const double cpu0 = ProcessCpuSeconds(relay.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(options.IdleMs));
    const double cpu1 = ProcessCpuSeconds(relay.pid());
    if (cpu0 >= 0 && cpu1 >= 0)
        figures.IdleCpuPercent = CpuPercent(cpu1 - cpu0, (MonotonicMs() - wall0) / 1000.0);

    if (!RunExchanges(client, options, false, figures.RoundTripMs, failure)) {
        figures.Error = failure;
        return figures;
    }

    const double bulkCpu0 = ProcessCpuSeconds(relay.pid());
    double seconds = 0;
    if (!client.Bulk(options.BulkBytes, options.FrameSize, 30000, seconds, failure)) {
        figures.Error = failure;
        return figures;
    }
    figures.Bulk.KiBs = double(options.BulkBytes) / 1024.0 / seconds;
    figures.Bulk.CpuPercent = CpuPercent(ProcessCpuSeconds(relay.pid()) - bulkCpu0, seconds);
    figures.PeakRssKiB = ProcessPeakRssKiB(relay.pid());
    return figures;
}
