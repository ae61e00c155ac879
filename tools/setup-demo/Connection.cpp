#include "Connection.h"

#include "common/Clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<bool> Connection::stopRequested{false};

static constexpr int RetryMs = 500;

void Connection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_parser.abandon();
}

bool Connection::ensureConnected()
{
    bool announced = false;
    while (m_fd < 0) {
        if (stopRequested)
            return false;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_say(std::string("socket: ") + std::strerror(errno));
            return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(m_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0) {
            m_fd = fd;
            m_say(std::string(m_everConnected ? "reconnected" : "connected") +
                  " to 127.0.0.1:" + std::to_string(m_port));
            m_everConnected = true;
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (!announced)
            m_say("waiting for 127.0.0.1:" + std::to_string(m_port) + " (" + std::strerror(err) +
                  "), retrying every " + std::to_string(RetryMs) + " ms");
        announced = true;
        poll(nullptr, 0, RetryMs);
    }
    return true;
}

bool Connection::sendAll(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            if (stopRequested)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

Connection::Outcome Connection::exchange(const tools::Frame &request, int64_t timeoutMs,
                                         tools::Frame &reply, std::string &detail)
{
    const std::string bytes = tools::encodeFrame(request);
    bool needSend = true;
    int64_t sentAt = 0;
    char buf[8192];
    std::string pending;
    for (;;) {
        if (!ensureConnected())
            return Outcome::Stopped;
        if (needSend) {
            if (!sendAll(bytes)) {
                if (stopRequested)
                    return Outcome::Stopped;
                m_say("connection lost while sending; reconnecting to send the request again");
                close();
                continue;
            }
            needSend = false;
            sentAt = tools::nowMs();
            pending.clear();
        }
        while (!pending.empty()) {
            tools::FrameParser::Event ev;
            pending.erase(0, m_parser.feed(pending, ev));
            if (ev.result == tools::FrameParser::Result::Error) {
                detail = "corrupted reply (" +
                         std::string(ev.status == tools::BadChecksum ? "checksum" : "framing") +
                         " error)";
                return Outcome::BadReply;
            }
            if (ev.result != tools::FrameParser::Result::Frame)
                continue;
            if (ev.frame.seq != request.seq && ev.frame.type != tools::ErrorReply) {
                m_say("ignoring a late reply with sequence " + tools::hex(ev.frame.seq, 2));
                continue;
            }
            reply = std::move(ev.frame);
            return Outcome::Reply;
        }
        const int64_t left = sentAt + timeoutMs - tools::nowMs();
        if (left <= 0) {
            detail = "no reply within " + std::to_string(timeoutMs) + " ms";
            m_parser.abandon();
            return Outcome::Timeout;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, int(std::min<int64_t>(left, 1000))) < 0 && errno != EINTR)
            return Outcome::Stopped;
        if (stopRequested)
            return Outcome::Stopped;
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n > 0) {
            pending.assign(buf, size_t(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            m_say("connection dropped before the reply; reconnecting to send the request again");
            close();
            needSend = true;
        }
    }
}
