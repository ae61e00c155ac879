#pragma once
// The setup stand-in's TCP connection to 127.0.0.1: connects by itself, retrying until the
// endpoint listens, and runs one request/reply exchange at a time, re-sending the request on a
// new connection when the old one is dropped before the reply came.
#include "Socket.h"
#include "common/Frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class Connection
{
public:
    Connection(uint16_t port, std::function<void(const std::string &)> say)
        : m_port(port), m_say(std::move(say))
    {
    }
    ~Connection() { close(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    enum class Outcome { Reply, BadReply, Timeout, Stopped };
    // Sends the request and waits for the reply frame with its sequence number; replies with
    // another number (late answers to earlier requests) are skipped and reported.
    Outcome exchange(const tools::Frame &request, int64_t timeoutMs, tools::Frame &reply,
                     std::string &detail);
    static std::atomic<bool> stopRequested;

private:
    bool ensureConnected();
    bool sendAll(const std::string &bytes);
    void close();
    uint16_t m_port;
    std::function<void(const std::string &)> m_say;
    demo::SocketHandle m_socket = demo::NoSocket;
    tools::FrameParser m_parser;
    bool m_everConnected = false;
};
