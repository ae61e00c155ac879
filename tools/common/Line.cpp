#include "common/Line.h"

#include "common/Clock.h"
#include "common/Options.h"
#include "common/PortsConf.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace tools
{

namespace
{
int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int sig)
{
    const int saved = errno;
    const char c = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
    errno = saved;
}

bool installSignals(std::string &error)
{
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}
} // namespace

void LineOptions::addTo(Options &o)
{
    o.value("device", "PATH", "serve this tty instead of a new pseudo-terminal", &devicePath);
    o.value("ports-conf", "FILE", "add COMn=<line> to this port map while running", &portsConf);
    o.value("com", "COMn", "the port name for --ports-conf", &com);
    o.number("baud", "pace output at N/10 bytes per second (0: unpaced)", &baud);
    o.value("record", "FILE", "append every received byte to FILE", &record);
    o.number("unplug-after", "close the line after N ms (SIGUSR1 does it at once)", &unplugAfterMs);
    o.number("replug-after", "come back on a new pty N ms after an unplug", &replugAfterMs);
    o.real("time-scale", "divide the tool's own delays by F (tests)", &timeScale);
}

Line::~Line()
{
    cleanup();
}

void Line::cleanup()
{
    unmap();
    closePty(m_pty);
    m_call.hangUp();
    if (m_recordFd >= 0)
        ::close(m_recordFd);
    m_recordFd = -1;
}

void Line::unmap()
{
    if (m_mappedPath.empty())
        return;
    std::string error;
    if (!portsConfRemove(m_opt.portsConf, m_opt.com, m_mappedPath, error))
        std::fprintf(stderr, "cannot remove %s from %s: %s\n", m_opt.com.c_str(),
                     m_opt.portsConf.c_str(), error.c_str());
    m_mappedPath.clear();
}

bool Line::configure(std::string &error)
{
    return m_call.configure(m_opt, error);
}

bool Line::open(std::string &error)
{
    if (m_opt.portsConf.empty() != m_opt.com.empty()) {
        error = "--ports-conf and --com go together";
        return false;
    }
    if (!m_opt.com.empty() && !validComName(m_opt.com)) {
        error = "not a port name: " + m_opt.com;
        return false;
    }
    if (m_opt.baud < 0) {
        error = "--baud must not be negative";
        return false;
    }
    if (!m_opt.record.empty()) {
        m_recordFd = ::open(m_opt.record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (m_recordFd < 0) {
            error = "open " + m_opt.record + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!installSignals(error) || !plugIn(error))
        return false;
    if (!m_call.enabled())
        lineUp(nowMs());
    return true;
}

void Line::lineUp(int64_t now)
{
    if (std::exchange(m_firstPlug, false) && m_opt.unplugAfterMs >= 0)
        m_unplugAt = now + m_opt.scaled(m_opt.unplugAfterMs);
}

bool Line::plugIn(std::string &error)
{
    if (m_call.enabled()) {
        // A call that cannot even begin (an unknown name) is one that failed: called again.
        const int64_t now = nowMs();
        std::string reason;
        if (!m_call.dial(now, reason))
            callFailed(now, reason);
        return true;
    }
    const bool ok = m_opt.devicePath.empty() ? openPty(m_pty, error)
                                             : openDevicePath(m_opt.devicePath, m_pty, error);
    if (!ok)
        return false;
    if (!m_opt.portsConf.empty()) {
        if (!portsConfSet(m_opt.portsConf, m_opt.com, m_pty.slavePath, m_mappedPath, error)) {
            closePty(m_pty);
            return false;
        }
        m_mappedPath = m_pty.slavePath;
    }
    std::printf("PTY %s\n", m_pty.slavePath.c_str());
    std::fflush(stdout);
    return true;
}

void Line::unplug(LineHandler &handler, int64_t now)
{
    if (!plugged())
        return;
    if (m_call.enabled()) {
        m_call.hangUp();
    } else {
        // The line leaves the port map before its node goes: a pty number freed here can be
        // reused by any other program at once, and the map must never point the port at it.
        unmap();
        closePty(m_pty);
    }
    m_out.clear();
    std::printf(m_call.enabled() ? "DROPPED\n" : "UNPLUGGED\n");
    std::fflush(stdout);
    handler.onUnplug(now);
    const int64_t after = m_call.enabled() ? m_call.recallMs() : m_opt.scaled(m_opt.replugAfterMs);
    m_replugAt = after >= 0 ? now + after : -1;
}

void Line::carryOnCall(int64_t now)
{
    std::string reason;
    switch (m_call.advance(now, reason)) {
    case CallIn::Progress::Pending:
        return;
    case CallIn::Progress::Failed:
        callFailed(now, reason);
        return;
    case CallIn::Progress::Connected:
        break;
    }
    m_out.clear();
    queuePacket(m_call.registration(), now);
    if (!writeSome(now, reason)) {
        m_call.hangUp();
        callFailed(now, reason);
        return;
    }
    m_lastCallFailure.clear();
    std::printf("CALLED %s\n", m_call.target().c_str());
    std::fflush(stdout);
    lineUp(now);
}

void Line::callFailed(int64_t now, const std::string &reason)
{
    // A router keeps calling a server that is not there yet: the reason is told once, not on
    // every attempt.
    if (reason != m_lastCallFailure)
        std::fprintf(stderr, "calling %s failed: %s (calling again every %lld ms)\n",
                     m_call.target().c_str(), reason.c_str(),
                     static_cast<long long>(m_call.recallMs()));
    m_lastCallFailure = reason;
    m_replugAt = now + m_call.recallMs();
}

void Line::queuePacket(const std::string &bytes, int64_t now)
{
    if (bytes.empty())
        return;
    // Between the device's pieces, never inside one that is partly written.
    auto at = m_out.begin();
    if (at != m_out.end() && at->started)
        ++at;
    m_out.insert(at, Piece{bytes, now, true});
    m_call.traffic(now);
}

bool Line::lineFault(LineHandler &handler, int64_t now, const std::string &error)
{
    std::fprintf(stderr, "%s\n", error.c_str());
    if (m_call.enabled()) {
        unplug(handler, now);
        return true;
    }
    cleanup();
    return false;
}

void Line::send(std::string bytes, int64_t delayMs)
{
    if (!plugged() || bytes.empty())
        return;
    const int64_t now = nowMs();
    const int64_t after = m_out.empty() ? now : std::max(now, m_out.back().notBefore);
    m_out.push_back({std::move(bytes), after + delayMs});
}

bool Line::writeSome(int64_t now, std::string &error)
{
    while (!m_out.empty() && m_out.front().notBefore <= now &&
           (m_out.front().packet || m_nextWrite <= now)) {
        Piece &p = m_out.front();
        size_t chunk = p.bytes.size();
        const long long bytesPerSecond = p.packet ? 0 : m_opt.baud / 10;
        if (bytesPerSecond > 0)
            chunk = std::min<size_t>(chunk, size_t(std::max<long long>(1, bytesPerSecond / 50)));
        const ssize_t n = ::write(fd(), p.bytes.data(), chunk);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return true;
            error = std::string("write to the line: ") + std::strerror(errno);
            return false;
        }
        m_call.traffic(now);
        if (onWritten)
            onWritten(std::string_view(p.bytes).substr(0, size_t(n)), now);
        p.bytes.erase(0, size_t(n));
        p.started = true;
        if (bytesPerSecond > 0)
            m_nextWrite =
                std::max(now, m_nextWrite) + (n * 1000 + bytesPerSecond - 1) / bytesPerSecond;
        if (p.bytes.empty())
            m_out.pop_front();
    }
    return true;
}

int Line::run(LineHandler &handler)
{
    char buf[8192];
    for (;;) {
        int64_t now = nowMs();
        int64_t wake = handler.deadline();
        auto earliest = [&wake](int64_t t) {
            if (t >= 0 && (wake < 0 || t < wake))
                wake = t;
        };
        earliest(m_unplugAt);
        earliest(m_replugAt);
        earliest(m_call.connectDeadline());
        earliest(m_call.heartbeatDue());
        bool wantOut = false;
        if (!m_out.empty()) {
            const Piece &front = m_out.front();
            const int64_t t =
                front.packet ? front.notBefore : std::max(front.notBefore, m_nextWrite);
            if (t <= now)
                wantOut = true;
            else
                earliest(t);
        }
        // A call being made waits for its connect to end, which makes the socket writable.
        const short events =
            m_call.connecting() ? POLLOUT : short(POLLIN | (wantOut ? POLLOUT : 0));
        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {fd(), events, 0}};
        const int timeout = wake < 0 ? -1 : int(std::clamp<int64_t>(wake - now, 0, 60000));
        if (::poll(fds, fd() >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "poll: %s\n", std::strerror(errno));
            return 1;
        }
        now = nowMs();
        char sig = 0;
        while (::read(g_signalPipe[0], &sig, 1) == 1) {
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                cleanup();
                return 0;
            }
            if (sig == SIGUSR1)
                unplug(handler, now);
            else if (sig == SIGUSR2)
                handler.onSignal2(now);
        }
        if (m_unplugAt >= 0 && now >= m_unplugAt) {
            m_unplugAt = -1;
            unplug(handler, now);
        }
        if (m_replugAt >= 0 && now >= m_replugAt) {
            m_replugAt = -1;
            std::string error;
            if (!plugIn(error)) {
                std::fprintf(stderr, "replug failed: %s\n", error.c_str());
                cleanup();
                return 1;
            }
        }
        if (m_call.connecting() && (fds[1].revents != 0 || now >= m_call.connectDeadline()))
            carryOnCall(now);
        if (plugged() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(fd(), buf, sizeof buf);
            if (n > 0) {
                if (m_recordFd >= 0 && ::write(m_recordFd, buf, size_t(n)) != n)
                    std::fprintf(stderr, "record: %s\n", std::strerror(errno));
                m_call.traffic(now);
                handler.onData(std::string_view(buf, size_t(n)), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                const std::string reason = n != 0 ? std::strerror(errno) : "end of file";
                if (!lineFault(handler, now,
                               !m_call.enabled() ? "read from the line: " + reason
                               : n == 0          ? "the server ended the call"
                                                 : "the call broke: " + reason))
                    return 1;
            }
        }
        handler.onTimer(now);
        if (const int64_t due = m_call.heartbeatDue(); due >= 0 && now >= due)
            queuePacket(m_call.heartbeat(), now);
        std::string error;
        if (plugged() && !writeSome(nowMs(), error) && !lineFault(handler, now, error))
            return 1;
    }
}

} // namespace tools
