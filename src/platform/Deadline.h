#pragma once

#include <cerrno>
#include <chrono>

// Blocking waits of the program, written once: a deadline, a system call retried while a signal
// interrupts it, and a wait for a descriptor against a deadline.

class TDeadline
{
public:
    explicit TDeadline(std::chrono::steady_clock::duration timeout)
        : FEnd(std::chrono::steady_clock::now() + timeout)
    {
    }
    bool Expired() const { return std::chrono::steady_clock::now() >= FEnd; }
    // Milliseconds left, rounded up so that a wait never ends before the deadline; 0 once it
    // has passed.
    int RemainingMs() const;

private:
    std::chrono::steady_clock::time_point FEnd;
};

// Calls a system call again for as long as it fails with EINTR; its last result.
template <typename Call> auto RetryOnInterrupt(Call call)
{
    auto result = call();
    while (result == -1 && errno == EINTR)
        result = call();
    return result;
}

// Waits until fd reports one of the events (poll) or the deadline passes, through interruptions
// by signals. The events seen (POLLHUP and POLLERR included), 0 at the deadline, -1 with errno
// when poll fails.
int WaitForDescriptor(int fd, short events, const TDeadline &deadline);
