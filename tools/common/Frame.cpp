#include "common/Frame.h"

#include <cctype>

namespace tools
{

uint16_t crc16(std::string_view data, uint16_t crc)
{
    for (unsigned char c : data) {
        crc ^= uint16_t(c << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::string hex(uint32_t value, int digits)
{
    static const char *d = "0123456789ABCDEF";
    std::string out(size_t(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[size_t(i)] = d[value & 0xF];
    return out;
}

static bool parseHex(std::string_view text, uint32_t &out)
{
    out = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        out = out * 16 + uint32_t(v);
    }
    return true;
}

std::string encodeFrame(const Frame &frame)
{
    const std::string header =
        hex(frame.seq, 2) + hex(frame.type, 2) + hex(uint32_t(frame.payload.size()), 4);
    const uint16_t crc = crc16(frame.payload, crc16(header));
    return std::string(1, Stx) + header + frame.payload + hex(crc, 4) + std::string(1, Etx);
}

bool containsModemResultText(std::string_view data)
{
    std::string upper(data);
    for (char &c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const char *word : {"BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER"})
        if (upper.find(word) != std::string::npos)
            return true;
    return false;
}

FrameParser::Event FrameParser::abandon()
{
    Event e;
    if (m_state != State::Idle) {
        e.result = Result::Error;
        e.seq = m_seq;
        e.status = Incomplete;
    }
    m_state = State::Idle;
    return e;
}

size_t FrameParser::feed(std::string_view data, Event &event)
{
    event = Event();
    size_t i = 0;
    auto fail = [&](uint8_t status) {
        event.result = Result::Error;
        event.seq = m_seq;
        event.status = status;
        m_state = State::Idle;
        return i;
    };
    while (i < data.size()) {
        const char c = data[i++];
        switch (m_state) {
        case State::Idle:
            if (c == Stx) {
                m_state = State::Header;
                m_header.clear();
                m_payload.clear();
                m_crc.clear();
                m_seq = -1;
            }
            break;
        case State::Header: {
            m_header += c;
            if (m_header.size() < 8)
                break;
            uint32_t seq, type, len;
            if (!parseHex(std::string_view(m_header).substr(0, 2), seq))
                return fail(BadFrame);
            m_seq = int(seq);
            if (!parseHex(std::string_view(m_header).substr(2, 2), type) ||
                !parseHex(std::string_view(m_header).substr(4, 4), len) || len > MaxPayload)
                return fail(BadFrame);
            m_type = uint8_t(type);
            m_len = len;
            m_state = m_len ? State::Payload : State::Crc;
            break;
        }
        case State::Payload: {
            const size_t take = std::min(m_len - m_payload.size(), data.size() - i + 1);
            m_payload.append(data.substr(i - 1, take));
            i += take - 1;
            if (m_payload.size() == m_len)
                m_state = State::Crc;
            break;
        }
        case State::Crc:
            m_crc += c;
            if (m_crc.size() == 4)
                m_state = State::End;
            break;
        case State::End: {
            uint32_t crc;
            if (c != Etx || !parseHex(m_crc, crc))
                return fail(BadFrame);
            if (crc != crc16(m_payload, crc16(m_header)))
                return fail(BadChecksum);
            event.result = Result::Frame;
            event.frame = Frame{uint8_t(m_seq), m_type, std::move(m_payload)};
            m_state = State::Idle;
            return i;
        }
        }
    }
    return i;
}

} // namespace tools
