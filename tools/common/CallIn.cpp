#include "common/CallIn.h"

#include "common/Line.h"
#include "common/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace tools
{

namespace
{

// "host:port", "[v6 address]:port"; the port in digits.
bool splitTarget(const std::string &target, std::string &host, std::string &port)
{
    size_t colon;
    if (!target.empty() && target.front() == '[') {
        const size_t close = target.find(']');
        if (close == std::string::npos || close + 1 >= target.size() || target[close + 1] != ':')
            return false;
        host = target.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = target.find(':');
        if (colon == std::string::npos || target.find(':', colon + 1) != std::string::npos)
            return false;
        host = target.substr(0, colon);
    }
    port = target.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const long value = std::stol(port);
    return value >= 1 && value <= 65535;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A packet given on the command line: the text itself, or "hex:" and two digits a byte.
bool parsePacket(const std::string &option, const std::string &text, std::string &bytes,
                 std::string &error)
{
    static const std::string HexPrefix = "hex:";
    if (text.compare(0, HexPrefix.size(), HexPrefix) != 0) {
        bytes = text;
        return true;
    }
    const std::string digits = text.substr(HexPrefix.size());
    bytes.clear();
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        const int high = hexDigit(digits[i]), low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0)
            break;
        bytes += char(high << 4 | low);
    }
    if (digits.empty() || bytes.size() * 2 != digits.size()) {
        error = "--" + option + ": hex: wants pairs of hex digits: " + text;
        return false;
    }
    return true;
}

int64_t scaledSeconds(double seconds, double timeScale)
{
    return std::max<int64_t>(1, std::llround(seconds * 1000.0 / timeScale));
}

} // namespace

void CallInOptions::addTo(Options &o)
{
    o.value("call-in", "HOST:PORT",
            "call this server over TCP instead of serving a pty (HOST: IPv4, a name or [IPv6])",
            &target);
    o.value("id", "TEXT", "the registration packet, first on every call (hex:<digits>: bytes)",
            &id);
    o.value("heartbeat", "TEXT", "the heartbeat packet (hex:<digits>: bytes)", &heartbeat);
    o.real("heartbeat-every",
           "send the heartbeat after F s without traffic, again every F s of quiet",
           &heartbeatEverySec);
    o.real("recall-after", "call again F s after a drop or a failed call (default 5)",
           &recallAfterSec);
}

bool CallIn::configure(const LineOptions &line, std::string &error)
{
    const CallInOptions &o = line.callIn;
    if (o.target.empty()) {
        if (!o.id.empty() || !o.heartbeat.empty() || o.heartbeatEverySec > 0 ||
            o.recallAfterSec > 0) {
            error = "--id, --heartbeat, --heartbeat-every and --recall-after need --call-in";
            return false;
        }
        return true;
    }
    if (!line.devicePath.empty() || !line.portsConf.empty() || !line.com.empty()) {
        error = "--call-in excludes --device, --ports-conf and --com";
        return false;
    }
    if (!splitTarget(o.target, m_host, m_port)) {
        error = "--call-in wants HOST:PORT or [IPv6]:PORT, the port 1 to 65535: " + o.target;
        return false;
    }
    if (!parsePacket("id", o.id, m_registration, error) ||
        !parsePacket("heartbeat", o.heartbeat, m_heartbeat, error))
        return false;
    if (m_heartbeat.empty() != (o.heartbeatEverySec <= 0)) {
        error = "--heartbeat and --heartbeat-every go together";
        return false;
    }
    if (o.recallAfterSec > 0 && line.replugAfterMs >= 0) {
        error = "--recall-after and --replug-after set the same pause: give one of them";
        return false;
    }
    m_target = o.target;
    if (m_heartbeat.size() > 0)
        m_heartbeatMs = scaledSeconds(o.heartbeatEverySec, line.timeScale);
    if (o.recallAfterSec > 0)
        m_recallMs = scaledSeconds(o.recallAfterSec, line.timeScale);
    else
        m_recallMs = line.scaled(line.replugAfterMs >= 0 ? line.replugAfterMs : DefaultRecallMs);
    return true;
}

bool CallIn::dial(int64_t now, std::string &error)
{
    hangUp();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    // A router looks its server's name up again on every call.
    if (const int rc = ::getaddrinfo(m_host.c_str(), m_port.c_str(), &hints, &list); rc != 0) {
        error = m_host + ": " + ::gai_strerror(rc);
        return false;
    }
    m_addresses.clear();
    for (const addrinfo *a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address{};
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.size = a->ai_addrlen;
        m_addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    m_next = 0;
    m_connectDeadline = now + ConnectTimeoutMs;
    m_state = State::Connecting;
    if (m_addresses.empty())
        error = m_host + ": no address";
    return tryNextAddress(error);
}

// Begins connecting to the next address that does not fail at once; Idle when none is left.
bool CallIn::tryNextAddress(std::string &error)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    while (m_next < m_addresses.size()) {
        const Address &a = m_addresses[m_next++];
        const int fd =
            ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        // The device's bytes leave as they come, not gathered up by the kernel.
        const int one = 1;
        if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
            error = std::string("TCP_NODELAY: ") + std::strerror(errno);
            ::close(fd);
            continue;
        }
        // Interrupted, a non-blocking connect goes on in the background as well.
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a.storage), a.size) == 0 ||
            errno == EINPROGRESS || errno == EINTR) {
            m_fd = fd;
            return true;
        }
        error = std::strerror(errno);
        ::close(fd);
    }
    m_state = State::Idle;
    return false;
}

CallIn::Progress CallIn::advance(int64_t now, std::string &error)
{
    if (!connecting())
        return connected() ? Progress::Connected : Progress::Failed;
    pollfd p{m_fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) > 0) {
        int soError = 0;
        socklen_t size = sizeof soError;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
            soError = errno;
        if (soError == 0) {
            m_state = State::Connected;
            m_lastTraffic = now;
            return Progress::Connected;
        }
        error = std::strerror(soError);
        if (tryNextAddress(error))
            return Progress::Pending;
        return Progress::Failed;
    }
    if (now < m_connectDeadline)
        return Progress::Pending;
    error = "no answer within " + std::to_string(ConnectTimeoutMs / 1000) + " s";
    hangUp();
    return Progress::Failed;
}

void CallIn::hangUp()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_state = State::Idle;
}

int64_t CallIn::heartbeatDue() const
{
    return connected() && m_heartbeatMs > 0 ? m_lastTraffic + m_heartbeatMs : -1;
}

} // namespace tools
