#include "Connection.h"

#include "common/Clock.h"

#include <algorithm>
#include <thread>

std::atomic<bool> Connection::stopRequested{false};

static constexpr int RetryMs = 500;

void Connection::close()
{
    demo::CloseSocket(m_socket);
    m_socket = demo::NoSocket;
    m_parser.abandon();
}

bool Connection::ensureConnected()
{
    bool announced = false;
    while (m_socket == demo::NoSocket) {
        if (stopRequested)
            return false;
        int error = 0;
        m_socket = demo::ConnectLoopback(m_port, error);
        if (m_socket != demo::NoSocket) {
            m_say(std::string(m_everConnected ? "reconnected" : "connected") +
                  " to 127.0.0.1:" + std::to_string(m_port));
            m_everConnected = true;
            return true;
        }
        if (!announced)
            m_say("waiting for 127.0.0.1:" + std::to_string(m_port) + " (" +
                  demo::ErrorText(error) + "), retrying every " + std::to_string(RetryMs) + " ms");
        announced = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(RetryMs));
    }
    return true;
}

bool Connection::sendAll(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        int error = 0;
        const long n = demo::SendSome(m_socket, bytes.data() + done, bytes.size() - done, error);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && demo::IsTransient(error)) {
            demo::WaitWritable(m_socket, 1000);
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
        const bool readable = demo::WaitReadable(m_socket, int(std::min<int64_t>(left, 1000)));
        if (stopRequested)
            return Outcome::Stopped;
        if (!readable)
            continue;
        int error = 0;
        const long n = demo::ReceiveSome(m_socket, buf, sizeof buf, error);
        if (n > 0) {
            pending.assign(buf, size_t(n));
        } else if (n == 0 || !demo::IsTransient(error)) {
            m_say("connection dropped before the reply; reconnecting to send the request again");
            close();
            needSend = true;
        }
    }
}
