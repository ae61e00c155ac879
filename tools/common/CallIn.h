#pragma once
// The network side of a cellular router in TCP client mode: it calls a server (connects out to
// HOST:PORT), sends its registration packet first, and a heartbeat packet when the connection has
// been quiet for a while. The serial data in between, the drops and the recalls are the line's
// (common/Line.h): this class makes one call at a time and owns its socket.
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace tools
{

class Options;
struct LineOptions;

struct CallInOptions {
    std::string target; // HOST:PORT, [IPv6]:PORT; empty: no call-in
    std::string id;     // text, or "hex:<digits>"
    std::string heartbeat;
    double heartbeatEverySec = 0; // 0: none
    double recallAfterSec = 0;    // 0: not given
    void addTo(Options &options);
};

class CallIn
{
public:
    // A connection attempt that has not succeeded within this long has failed (a router's
    // connect time-out; not scaled, it guards against the network).
    static constexpr int64_t ConnectTimeoutMs = 10000;
    static constexpr int64_t DefaultRecallMs = 5000;

    CallIn() = default;
    ~CallIn() { hangUp(); }
    CallIn(const CallIn &) = delete;
    CallIn &operator=(const CallIn &) = delete;

    // Checks the options (with the line's: --call-in excludes a pty's) and takes them over, with
    // the tool's time scale applied; false with the reason, an error of the command line.
    bool configure(const LineOptions &line, std::string &error);
    bool enabled() const { return !m_target.empty(); }
    const std::string &target() const { return m_target; }
    const std::string &registration() const { return m_registration; }
    const std::string &heartbeat() const { return m_heartbeat; }
    int64_t recallMs() const { return m_recallMs; }

    // Starts a call: resolves the server's name and begins a non-blocking connect. False with
    // the reason when no address could even be tried.
    bool dial(int64_t now, std::string &error);
    bool connecting() const { return m_state == State::Connecting; }
    bool connected() const { return m_state == State::Connected; }
    int fd() const { return m_fd; }
    enum class Progress { Pending, Connected, Failed };
    // Carries a call on after its socket reported an event (or its time ran out): the next
    // address after a refusal; Failed with the reason when none is left.
    Progress advance(int64_t now, std::string &error);
    void hangUp();

    // Traffic either way keeps the connection from being quiet.
    void traffic(int64_t now) { m_lastTraffic = now; }
    // When the next heartbeat is due on a made call, or -1.
    int64_t heartbeatDue() const;
    // The time the current connection attempt gives up, or -1.
    int64_t connectDeadline() const { return connecting() ? m_connectDeadline : -1; }

private:
    enum class State { Idle, Connecting, Connected };
    bool tryNextAddress(std::string &error);
    std::string m_target, m_host, m_port;
    std::string m_registration, m_heartbeat;
    int64_t m_heartbeatMs = 0, m_recallMs = DefaultRecallMs;
    State m_state = State::Idle;
    int m_fd = -1;
    struct Address {
        sockaddr_storage storage;
        socklen_t size;
    };
    std::vector<Address> m_addresses;
    size_t m_next = 0;
    int64_t m_connectDeadline = -1, m_lastTraffic = 0;
};

} // namespace tools
