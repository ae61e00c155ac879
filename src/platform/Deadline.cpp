#include "platform/Deadline.h"

#include <climits>
#include <poll.h>

int TDeadline::RemainingMs() const
{
    using namespace std::chrono;
    const auto left = FEnd - steady_clock::now();
    if (left <= steady_clock::duration::zero())
        return 0;
    const auto ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
    return ms > INT_MAX ? INT_MAX : int(ms);
}

int WaitForDescriptor(int fd, short events, const TDeadline &deadline)
{
    for (;;) {
        pollfd waiter{fd, events, 0};
        const int ready = ::poll(&waiter, 1, deadline.RemainingMs());
        if (ready > 0)
            return waiter.revents;
        if (ready == 0) {
            if (deadline.Expired())
                return 0;
            continue; // woke a little early: the rest of the time
        }
        if (errno != EINTR)
            return -1;
    }
}
