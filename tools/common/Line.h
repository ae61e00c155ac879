#pragma once
// The serial line a stand-in serves: a pty (or a given device file), its ports.conf entry, paced
// and delayed output, a record of the received bytes, unplugging and replugging, and the poll
// loop with signals (SIGINT/SIGTERM end the run, SIGUSR1 unplugs, SIGUSR2 goes to the handler).
// With --call-in the line is a TCP connection that the stand-in makes as a router in client mode
// does (common/CallIn.h): unplugging is dropping the call, replugging is calling again.
#include "common/CallIn.h"
#include "common/Pty.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace tools
{

class Options;

struct LineOptions {
    std::string devicePath;
    std::string portsConf;
    std::string com;
    long long baud = 0;
    std::string record;
    long long unplugAfterMs = -1;
    long long replugAfterMs = -1;
    double timeScale = 1.0;
    CallInOptions callIn; // its options are the device's only: callIn.addTo
    void addTo(Options &options);
    int64_t scaled(long long ms) const { return ms < 0 ? -1 : int64_t(double(ms) / timeScale); }
};

class LineHandler
{
public:
    virtual ~LineHandler() = default;
    virtual void onData(std::string_view data, int64_t now) = 0;
    virtual void onTimer(int64_t now) = 0;
    virtual int64_t deadline() const = 0; // next onTimer, or -1
    virtual void onSignal2(int64_t) {}
    virtual void onUnplug(int64_t) {}
};

class Line
{
public:
    explicit Line(LineOptions options) : m_opt(std::move(options)) {}
    ~Line();
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    // Checks the options; false with the reason, an error of the command line.
    bool configure(std::string &error);
    bool open(std::string &error);
    // Queues bytes; delayMs is the pause after the previously queued piece.
    void send(std::string bytes, int64_t delayMs = 0);
    void clearOutput() { m_out.clear(); }
    // Whether bytes pass: the pty is open, or the call is made.
    bool plugged() const { return m_call.enabled() ? m_call.connected() : m_pty.master >= 0; }
    // Calls back for every chunk really written to the line.
    std::function<void(std::string_view, int64_t)> onWritten;
    // Runs until SIGINT/SIGTERM or a fatal line error; returns the exit status.
    int run(LineHandler &handler);

private:
    struct Piece {
        std::string bytes;
        int64_t notBefore;
        // The router's own packet (registration, heartbeat): one write, never paced.
        bool packet = false;
        bool started = false;
    };
    int fd() const { return m_call.enabled() ? m_call.fd() : m_pty.master; }
    bool plugIn(std::string &error);
    // The line has come up: the first time, --unplug-after starts counting.
    void lineUp(int64_t now);
    void unplug(LineHandler &handler, int64_t now);
    // A call in progress: its connection made (the registration goes first) or failed.
    void carryOnCall(int64_t now);
    void callFailed(int64_t now, const std::string &reason);
    void queuePacket(const std::string &bytes, int64_t now);
    // A fault of the line itself: the end of the run on a pty, a drop on a call.
    bool lineFault(LineHandler &handler, int64_t now, const std::string &error);
    bool writeSome(int64_t now, std::string &error);
    void cleanup();
    // Removes our line from the port map, if we added one.
    void unmap();
    LineOptions m_opt;
    Pty m_pty;
    CallIn m_call;
    std::string m_lastCallFailure;
    bool m_firstPlug = true;
    std::string m_mappedPath;
    std::deque<Piece> m_out;
    int64_t m_nextWrite = 0;
    int64_t m_unplugAt = -1, m_replugAt = -1;
    int m_recordFd = -1;
};

} // namespace tools
