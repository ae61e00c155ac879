#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <QTest>

#include <functional>

// Checks inside a script step: a failure is recorded as usual, then the script ends and the
// rescue ends the link.
struct TLinkScriptFailure {
};
#define LINK_VERIFY(cond)                                                                          \
    do {                                                                                           \
        if (!QTest::qVerify(static_cast<bool>(cond), #cond, "", __FILE__, __LINE__))               \
            throw TLinkScriptFailure();                                                            \
    } while (false)
#define LINK_COMPARE(actual, expected)                                                             \
    do {                                                                                           \
        if (!QTest::qCompare(actual, expected, #actual, #expected, __FILE__, __LINE__))            \
            throw TLinkScriptFailure();                                                            \
    } while (false)

// A link runs nested inside the click that started it, so a test cannot act between the click
// and its return. A script is a step that runs every few milliseconds on the window thread,
// inside the link's own dispatches, and returns true when it is done. When the time runs out it
// notes the failure and calls the rescue (which should end the link), so a broken link never
// hangs the test.
class TLinkScript
{
public:
    using TStep = std::function<bool()>;

    TLinkScript(TStep step, std::function<void()> rescue, int timeoutMs = 60000);

    bool Done() const { return FDone; }
    bool TimedOut() const { return FTimedOut; }
    bool Failed() const { return FFailed; }
    // The script has ended by itself: no check in it failed and its time did not run out. A
    // time-out is recorded as a failure of the running test, saying what was awaited.
    [[nodiscard]] bool Succeeded(const QString &awaited = QString()) const;

private:
    void Tick();

    TStep FStep;
    std::function<void()> FRescue;
    int FTimeoutMs;
    QTimer FTimer;
    QElapsedTimer FClock;
    bool FDone = false;
    bool FTimedOut = false;
    bool FFailed = false;
    bool FInStep = false;
};

// True once ms have passed since the first call for since, which starts it: for a script step
// that must wait a while after its condition first held (the silence a modem needs before "+++").
bool WaitedSinceFirst(QElapsedTimer &since, qint64 ms);
