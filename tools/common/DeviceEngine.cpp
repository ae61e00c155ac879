#include "common/DeviceEngine.h"

#include <cctype>

namespace tools
{

static const std::string IdentRequest = "+VER_INFO=?\r\n";

void DeviceEngine::reset()
{
    m_parser.abandon();
    m_textTail.clear();
    m_params = {{1, "DEMO"}, {2, "1.00"}, {3, "SN0001"}};
}

std::vector<OutPiece> DeviceEngine::identification() const
{
    if (m_ident.silent)
        return {};
    std::string reply = m_ident.reply + (m_ident.noOk ? "" : "OK\r\n");
    if (m_ident.lower)
        for (char &c : reply)
            c = char(std::tolower(static_cast<unsigned char>(c)));
    std::vector<OutPiece> out;
    if (m_ident.echo)
        out.push_back({IdentRequest, 0});
    if (!m_ident.pieces) {
        out.push_back({reply, 0});
        return out;
    }
    const size_t a = reply.size() / 3, b = 2 * reply.size() / 3;
    out.push_back({reply.substr(0, a), 0});
    out.push_back({reply.substr(a, b - a), m_ident.pieceGapMs});
    out.push_back({reply.substr(b), m_ident.pieceGapMs});
    return out;
}

std::string DeviceEngine::errorFrame(int seq, uint8_t status) const
{
    return encodeFrame(
        Frame{uint8_t(seq < 0 ? 0xFF : seq), ErrorReply, std::string(1, char(status))});
}

std::string DeviceEngine::answer(const Frame &request)
{
    Frame reply{request.seq, uint8_t(request.type | ReplyFlag), {}};
    const std::string &p = request.payload;
    const uint16_t number =
        p.size() >= 2
            ? uint16_t((static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]))
            : 0;
    switch (request.type) {
    case ReadParam: {
        const auto it = m_params.find(number);
        if (p.size() != 2 || it == m_params.end())
            return errorFrame(request.seq, BadParameter);
        reply.payload = p + it->second;
        break;
    }
    case WriteParam:
        if (p.size() < 2 || p.size() > 66)
            return errorFrame(request.seq, BadParameter);
        m_params[number] = p.substr(2);
        reply.payload = p.substr(0, 2);
        break;
    case Echo:
        reply.payload = p;
        break;
    case Sink:
        reply.payload = hex(uint32_t(p.size()), 8) + ":" + hex(crc16(p), 4);
        break;
    default:
        return errorFrame(request.seq, UnknownType);
    }
    const std::string bytes = encodeFrame(reply);
    // A modem link would take these texts as the end of the call, so they never leave us.
    if (containsModemResultText(bytes))
        return errorFrame(request.seq, ForbiddenText);
    return bytes;
}

std::vector<OutPiece> DeviceEngine::feed(std::string_view data, int64_t now)
{
    std::vector<OutPiece> out;
    m_lastByte = now;
    while (!data.empty()) {
        if (!m_parser.inFrame() && data.front() != Stx) {
            m_textTail += data.front();
            data.remove_prefix(1);
            if (m_textTail.size() > 64)
                m_textTail.erase(0, m_textTail.size() - 64);
            if (m_textTail.size() >= IdentRequest.size() &&
                m_textTail.compare(m_textTail.size() - IdentRequest.size(), IdentRequest.size(),
                                   IdentRequest) == 0) {
                m_textTail.clear();
                for (OutPiece &piece : identification())
                    out.push_back(std::move(piece));
            }
            continue;
        }
        FrameParser::Event ev;
        data.remove_prefix(m_parser.feed(data, ev));
        if (ev.result == FrameParser::Result::Frame)
            out.push_back({answer(ev.frame), 0});
        else if (ev.result == FrameParser::Result::Error)
            out.push_back({errorFrame(ev.seq, ev.status), 0});
        if (ev.result != FrameParser::Result::None)
            ++m_answered;
    }
    return out;
}

std::vector<OutPiece> DeviceEngine::onDeadline(int64_t now)
{
    if (!m_parser.inFrame() || now < deadline())
        return {};
    const FrameParser::Event ev = m_parser.abandon();
    ++m_answered;
    return {{errorFrame(ev.seq, ev.status), 0}};
}

} // namespace tools

#include "common/Line.h"
#include "common/Options.h"

namespace tools
{

void IdentOptions::addTo(Options &o)
{
    o.value("ident", "TEXT",
            "identification fields before OK (default: +VER_INFO: "
            "\"1234\",\"DEMO.1.00\",\"SN0001\"); \\r and \\n are unescaped",
            &reply);
    o.flag("ident-echo", "repeat the identification request before the reply", &config.echo);
    o.flag("ident-pieces", "send the identification reply in three pieces", &config.pieces);
    o.number("piece-gap", "pause between the pieces in ms (default 300)", &pieceGapMs);
    o.flag("ident-silent", "never answer the identification request", &config.silent);
    o.flag("ident-no-ok", "answer without the final OK", &config.noOk);
    o.flag("ident-lower", "answer in lower case", &config.lower);
}

void IdentOptions::finish(const LineOptions &line)
{
    if (!reply.empty()) {
        std::string text;
        for (size_t i = 0; i < reply.size(); ++i) {
            if (reply[i] == '\\' && i + 1 < reply.size() &&
                (reply[i + 1] == 'r' || reply[i + 1] == 'n')) {
                text += reply[++i] == 'r' ? '\r' : '\n';
                continue;
            }
            text += reply[i];
        }
        if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
            text += "\r\n";
        config.reply = text;
    }
    config.pieceGapMs = line.scaled(pieceGapMs);
}

} // namespace tools
