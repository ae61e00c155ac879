// Device identification, and the setup program's start and end.

#include "app/MainFormUnit.h"

#include "log/Win1251.h"
#include "platform/Deadline.h"
#include "platform/TickClock.h"

#include <algorithm>
#include <thread>

#include <poll.h>

namespace
{

constexpr std::uint32_t ReplyTimeLimitMs = 10000;
// A reply is a few hundred bytes; a line that keeps talking beyond this is not answering.
constexpr qsizetype MaxReplySize = 1 << 20;

// Sleeps until the port has input or the time is up, so that the reply wait reacts to every
// arriving byte at once without spinning. Times are the tick clock's milliseconds.
void WaitForInput(THandle handle, std::uint32_t remainingMs)
{
    const auto wait = TickClock::RealDuration(std::min<std::uint32_t>(remainingMs, 100));
    const auto nap = [&wait] {
        std::this_thread::sleep_for(std::min(wait, TickClock::RealDuration(10)));
    };
    if (handle == INVALID_HANDLE_VALUE) {
        nap();
        return;
    }
    const int seen = WaitForDescriptor(static_cast<int>(handle), POLLIN, TDeadline(wait));
    // A pulled line (hung up, its other side gone) reports itself ready at once, often with
    // POLLIN too, while nothing can ever be read from it: sleep instead of spinning on it.
    if (seen < 0 || (seen & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        nap();
}

} // namespace

bool TMainLindqvarForm::RequestVerInfo()
{
    COMWrite(BytesToBuffer(QByteArrayLiteral("+VER_INFO=?\r\n")));
    WriteLog(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));

    const std::uint32_t start = TickClock::Now();
    FVerInfo.clear();
    QByteArray collected;
    std::uint32_t elapsed = 0;
    while ((elapsed = TickClock::Since(start)) < ReplyTimeLimitMs) {
        const int n = COMRead();
        if (n == 0) {
            WaitForInput(FCOMHandle, ReplyTimeLimitMs - elapsed);
            continue;
        }
        if (collected.size() >= MaxReplySize)
            continue; // drained and ignored: no device answers at such length
        collected.append(BufferToBytes(n));
        if (collected.contains("OK\r\n")) {
            WriteLog(Win1251ToString(collected), QStringLiteral("COM->APP"));
            FVerInfo = collected;
            return true;
        }
    }
    return false;
}

void TMainLindqvarForm::LaunchSetup()
{
    FSetup.Launch(FVerInfo);
}

void TMainLindqvarForm::TerminateSetup()
{
    FSetup.Terminate();
}
