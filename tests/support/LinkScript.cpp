#include "support/LinkScript.h"

TLinkScript::TLinkScript(TStep step, std::function<void()> rescue, int timeoutMs)
    : FStep(std::move(step)), FRescue(std::move(rescue)), FTimeoutMs(timeoutMs)
{
    FClock.start();
    FTimer.setInterval(10);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
    FTimer.start();
}

void TLinkScript::Tick()
{
    // A step may itself dispatch messages (a click it makes runs handlers): never nest.
    if (FDone || FInStep)
        return;
    FInStep = true;
    bool end = false;
    bool rescue = false;
    if (FClock.elapsed() > FTimeoutMs) {
        FTimedOut = true;
        end = rescue = true;
    } else {
        try {
            end = FStep();
        } catch (const TLinkScriptFailure &) {
            FFailed = true;
            end = rescue = true;
        }
    }
    if (end) {
        FDone = true;
        FTimer.stop();
        if (rescue && FRescue)
            FRescue();
    }
    FInStep = false;
}

bool TLinkScript::Succeeded(const QString &awaited) const
{
    return !FFailed && QTest::qVerify(FDone && !FTimedOut, "the script ended in time",
                                      qPrintable(awaited), __FILE__, __LINE__);
}

bool WaitedSinceFirst(QElapsedTimer &since, qint64 ms)
{
    if (!since.isValid())
        since.start();
    return since.elapsed() >= ms;
}
