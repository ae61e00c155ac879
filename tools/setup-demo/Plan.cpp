#include "Plan.h"

using tools::Frame;

std::string Plan::allByteValues()
{
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i)
        s[size_t(i)] = char(i);
    return s;
}

std::string Plan::randomBytes(size_t size)
{
    std::string s(size, '\0');
    for (char &c : s)
        c = char(m_random() & 0xFF);
    return s;
}

// A modem link takes a modem result text in the device's data as the end of the call, so the
// device refuses to send one; exchanges whose frames would hold one are drawn again.
static bool sendable(const Frame &f)
{
    return !tools::containsModemResultText(tools::encodeFrame(f));
}

static std::string number(uint16_t n)
{
    return std::string{char(n >> 8), char(n & 0xFF)};
}

Exchange Plan::make(uint64_t n)
{
    for (;;) {
        Exchange e = draw(n);
        bool ok = sendable(e.request) && sendable(e.expected);
        if (n % 6 == 1) // the next exchange reads the value back
            ok = ok && sendable(Frame{uint8_t((n + 1) & 0xFF), tools::ReadParam | tools::ReplyFlag,
                                      e.request.payload});
        if (ok)
            return e;
    }
}

Exchange Plan::draw(uint64_t n)
{
    const uint8_t seq = uint8_t(n & 0xFF);
    Exchange e;
    switch (n % 6) {
    case 0:
        e.kind = "echo-256";
        e.request = Frame{seq, tools::Echo, allByteValues()};
        e.expected = Frame{seq, tools::Echo | tools::ReplyFlag, e.request.payload};
        break;
    case 1:
        m_lastParam = uint16_t(100 + n % 900);
        m_lastWritten = "V" + std::to_string(n) + randomBytes(8);
        e.kind = "write-param";
        e.request = Frame{seq, tools::WriteParam, number(m_lastParam) + m_lastWritten};
        e.expected = Frame{seq, tools::WriteParam | tools::ReplyFlag, number(m_lastParam)};
        break;
    case 2:
        e.kind = "read-param";
        e.request = Frame{seq, tools::ReadParam, number(m_lastParam)};
        e.expected =
            Frame{seq, tools::ReadParam | tools::ReplyFlag, number(m_lastParam) + m_lastWritten};
        break;
    case 3: {
        const size_t size = m_random() % 3001;
        e.kind = "echo-random";
        e.request = Frame{seq, tools::Echo, randomBytes(size)};
        e.expected = Frame{seq, tools::Echo | tools::ReplyFlag, e.request.payload};
        break;
    }
    case 4:
        e.kind = "echo-empty";
        e.request = Frame{seq, tools::Echo, {}};
        e.expected = Frame{seq, tools::Echo | tools::ReplyFlag, {}};
        break;
    default:
        e.kind = "read-model";
        e.request = Frame{seq, tools::ReadParam, number(1)};
        e.expected = Frame{seq, tools::ReadParam | tools::ReplyFlag, number(1) + "DEMO"};
        break;
    }
    return e;
}

Exchange Plan::sink(uint64_t n, size_t size)
{
    const uint8_t seq = uint8_t(n & 0xFF);
    Exchange e;
    e.kind = "sink";
    e.request = Frame{seq, tools::Sink, randomBytes(size)};
    e.expected =
        Frame{seq, tools::Sink | tools::ReplyFlag,
              tools::hex(uint32_t(size), 8) + ":" + tools::hex(tools::crc16(e.request.payload), 4)};
    return e;
}
