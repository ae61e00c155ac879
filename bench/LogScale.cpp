// The log window at scale: a day's worth of lines like a relay's, appended through the window's
// log writer, then scrolled to, saved and cleared through the window's own commands.

#include "Bench.h"
#include "FrameClient.h"

#include "log/LOGUnit.h"
#include "support/WizardFixture.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <chrono>
#include <thread>

namespace
{

void Settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

} // namespace

TLogScaleFigures RunLogScale(int lines, TWizardFixture &world)
{
    TLogScaleFigures figures;
    if (!world.Windows) {
        figures.Error = "no windows";
        return figures;
    }
    TLOGForm &form = *world.Windows->LOGForm;
    form.show();
    form.N1Click();
    Settle();

    // Relayed blocks of 128 bytes of every value (no line breaks), both ways, as the relay logs
    // them, and a status line now and then.
    QByteArray block(128, '\0');
    for (int i = 0; i < block.size(); ++i) {
        const char byte = char((i * 37 + 11) & 0xFF);
        block[i] = byte == '\r' || byte == '\n' ? ' ' : byte;
    }
    const QString status = QStringLiteral("Попытка переокрытия COM порта");

    const long rss0 = CurrentRssKiB();
    const double t0 = MonotonicMs();
    for (int i = 0; i < lines; ++i) {
        if (i % 10 == 9)
            WriteLogTo(form, status, QString());
        else
            WriteLogBytesTo(form, block,
                            i % 2 ? QStringLiteral("COM->TCP") : QStringLiteral("TCP->COM"));
    }
    form.Log->Lines().Publish();
    Settle();
    figures.AppendSeconds = (MonotonicMs() - t0) / 1000.0;
    figures.RssCostKiB = CurrentRssKiB() - rss0;
    figures.Lines = form.Log->Lines().Count();

    double t = MonotonicMs();
    ScrollLogToEnd(*form.Log);
    form.Log->viewport()->repaint();
    Settle();
    figures.ScrollMs = MonotonicMs() - t;

    // A link going on with all those lines shown: about 2,000 more lines a second for two seconds,
    // the window thread dispatching in between as the relay does.
    {
        const double cpu0 = ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double start = MonotonicMs();
        int added = 0;
        while (MonotonicMs() - start < 2000) {
            for (int i = 0; i < 100; ++i, ++added)
                WriteLogBytesTo(form, block, QStringLiteral("COM->TCP"));
            const double until = start + added / 2.0; // 2 lines a millisecond
            while (MonotonicMs() < until) {
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        figures.GoingOnCpuPercent = CpuPercent(ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0,
                                               (MonotonicMs() - start) / 1000.0);
    }

    const QString file = world.Config.Root() + QStringLiteral("/scale.log");
    world.Dialogs.NextSaveFileName = file;
    t = MonotonicMs();
    form.N2Click();
    figures.SaveSeconds = (MonotonicMs() - t) / 1000.0;
    figures.SavedMiB = double(QFileInfo(file).size()) / 1024.0 / 1024.0;
    QFile::remove(file);

    t = MonotonicMs();
    form.N1Click();
    Settle();
    figures.ClearMs = MonotonicMs() - t;
    if (form.Log->Lines().Count() != 0)
        figures.Error = "the log was not cleared";
    form.hide();
    return figures;
}
