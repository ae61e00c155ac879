#include "FrameClient.h"

#include "platform/Deadline.h"
#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using tools::FrameParser;

double MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

namespace
{

std::string SystemError(const char *what)
{
    return ErrnoReason(QString::fromLatin1(what), errno).toStdString();
}

TDeadline After(int ms)
{
    return TDeadline(std::chrono::milliseconds(ms));
}

// A reply for an error message: its type and payload, the payload in hex when not text.
std::string Describe(const tools::Frame &frame)
{
    std::string payload;
    for (const char c : frame.payload)
        payload += (c >= ' ' && c <= '~') ? std::string(1, c) : "\\x" + tools::hex(uint8_t(c), 2);
    return " (type " + tools::hex(frame.type, 2) + ", seq " + tools::hex(frame.seq, 2) + ": \"" +
           payload + "\")";
}

} // namespace

TFrameClient::~TFrameClient()
{
    Close();
}

void TFrameClient::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
    FPending.clear();
    FParser = FrameParser();
}

bool TFrameClient::Connect(std::uint16_t port, int timeoutMs, std::string &error)
{
    Close();
    const double deadline = MonotonicMs() + timeoutMs;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = SystemError("socket");
            return false;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            FFd = fd;
            return true;
        }
        error = SystemError(("connect to 127.0.0.1:" + std::to_string(port)).c_str());
        ::close(fd);
        if (MonotonicMs() >= deadline)
            return false;
        ::poll(nullptr, 0, 50);
    }
}

bool TFrameClient::SendAll(const std::string &bytes, int timeoutMs, std::string &error)
{
    const TDeadline deadline = After(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL); });
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            error = SystemError("send");
            return false;
        }
        if (WaitForDescriptor(FFd, POLLOUT, deadline) == 0) {
            error = "send timed out";
            return false;
        }
    }
    return true;
}

bool TFrameClient::NextEvent(FrameParser::Event &event, int timeoutMs, std::string &error)
{
    const TDeadline deadline = After(timeoutMs);
    for (;;) {
        while (!FPending.empty()) {
            event = {};
            const std::size_t used = FParser.feed(FPending, event);
            FPending.erase(0, used);
            if (event.result != FrameParser::Result::None)
                return true;
            if (used == 0)
                break;
        }
        char buf[65536];
        const ssize_t n = RetryOnInterrupt([&] { return ::recv(FFd, buf, sizeof buf, 0); });
        if (n > 0) {
            FPending.append(buf, std::size_t(n));
            continue;
        }
        if (n == 0) {
            error = "the relay closed the connection";
            return false;
        }
        if (errno != EAGAIN) {
            error = SystemError("recv");
            return false;
        }
        if (WaitForDescriptor(FFd, POLLIN, deadline) == 0) {
            error = "no reply within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
}

bool TFrameClient::Echo(std::uint8_t seq, const std::string &payload, int timeoutMs, double &ms,
                        std::string &error)
{
    const std::string frame = tools::encodeFrame(tools::Frame{seq, tools::Echo, payload});
    const double start = MonotonicMs();
    if (!SendAll(frame, timeoutMs, error))
        return false;
    FrameParser::Event reply;
    if (!NextEvent(reply, timeoutMs, error))
        return false;
    ms = MonotonicMs() - start;
    if (reply.result != FrameParser::Result::Frame || reply.frame.seq != seq ||
        reply.frame.type != (tools::Echo | tools::ReplyFlag) || reply.frame.payload != payload) {
        error = "wrong echo reply to request " + std::to_string(seq);
        return false;
    }
    return true;
}

bool TFrameClient::Bulk(std::size_t totalBytes, std::size_t frameSize, int timeoutMs,
                        double &seconds, std::string &error)
{
    // The frames and the acknowledgement each must get, prepared before the clock starts.
    std::mt19937 random(20261208);
    std::string stream;
    std::vector<std::string> acks;
    for (std::size_t sent = 0, seq = 0; sent < totalBytes; ++seq) {
        const std::size_t size = std::min(frameSize, totalBytes - sent);
        std::string payload(size, '\0');
        for (char &c : payload)
            c = char(random() & 0xFF);
        stream += tools::encodeFrame(tools::Frame{std::uint8_t(seq), tools::Sink, payload});
        acks.push_back(tools::hex(std::uint32_t(size), 8) + ":" +
                       tools::hex(tools::crc16(payload), 4));
        sent += size;
    }

    const double start = MonotonicMs();
    double lastProgress = start;
    std::size_t written = 0;
    std::size_t acked = 0;
    while (acked < acks.size()) {
        bool progress = false;
        while (written < stream.size()) {
            const ssize_t n =
                ::send(FFd, stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
            if (n > 0) {
                written += std::size_t(n);
                progress = true;
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            } else {
                error = SystemError("send");
                return false;
            }
        }
        char buf[65536];
        const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n > 0) {
            FPending.append(buf, std::size_t(n));
            progress = true;
        } else if (n == 0) {
            error = "the relay closed the connection after " + std::to_string(acked) + " acks";
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            error = SystemError("recv");
            return false;
        }
        for (;;) {
            FrameParser::Event event;
            const std::size_t used = FParser.feed(FPending, event);
            FPending.erase(0, used);
            if (event.result == FrameParser::Result::None)
                break;
            if (event.result != FrameParser::Result::Frame ||
                event.frame.type != (tools::Sink | tools::ReplyFlag) ||
                event.frame.seq != std::uint8_t(acked) || event.frame.payload != acks[acked]) {
                error = "wrong acknowledgement of frame " + std::to_string(acked) +
                        (event.result == FrameParser::Result::Error
                             ? " (framing error " + std::to_string(event.status) + ")"
                             : Describe(event.frame));
                return false;
            }
            ++acked;
        }
        const double now = MonotonicMs();
        if (progress)
            lastProgress = now;
        else if (now - lastProgress > timeoutMs) {
            error = "no progress for " + std::to_string(timeoutMs) + " ms after " +
                    std::to_string(acked) + " of " + std::to_string(acks.size()) + " acks";
            return false;
        }
        if (acked < acks.size()) {
            pollfd p{FFd, short(POLLIN | (written < stream.size() ? POLLOUT : 0)), 0};
            ::poll(&p, 1, 100);
        }
    }
    seconds = (MonotonicMs() - start) / 1000.0;
    return true;
}
