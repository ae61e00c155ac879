#include "Modem.h"

#include <algorithm>
#include <cctype>

bool validDialResult(const std::string &r)
{
    for (const char *known :
         {"connect", "busy", "no-carrier", "no-dialtone", "no-answer", "silence"})
        if (r == known)
            return true;
    return false;
}

bool parseCregSequence(const std::string &text, std::vector<int> &out)
{
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        if (item.empty() || item.size() > 1 || !std::isdigit(static_cast<unsigned char>(item[0])))
            return false;
        out.push_back(item[0] - '0');
        start = comma + 1;
    }
    return !out.empty();
}

Modem::Modem(tools::Line &line, DialogueLog &log, ModemConfig config, tools::IdentConfig ident)
    : m_line(line), m_log(log), m_cfg(std::move(config)), m_device(std::move(ident)),
      m_echo(m_cfg.echo)
{
}

void Modem::start(int64_t now)
{
    m_log.event("open", now);
    if (!m_cfg.greeting.empty())
        m_line.send("\r\n" + m_cfg.greeting + "\r\n", m_cfg.greetingDelayMs);
}

int64_t Modem::deadline() const
{
    int64_t t = -1;
    auto earliest = [&t](int64_t v) {
        if (v >= 0 && (t < 0 || v < t))
            t = v;
    };
    if (m_state == State::Dialing)
        earliest(m_dialAt);
    if (m_callUp)
        earliest(m_dropAt);
    if (m_state == State::Online) {
        if (m_plus > 0)
            earliest(m_plusAt + m_cfg.guardMs);
        earliest(m_device.deadline());
    } else if (bareHangUp()) {
        earliest(m_lastCommandByte + m_cfg.guardMs);
    }
    return t;
}

void Modem::onUnplug(int64_t now)
{
    m_log.event("unplug", now);
    m_state = State::Command;
    m_callUp = false;
    m_command.clear();
    m_echo = m_cfg.echo;
    m_plus = 0;
    m_dialAt = m_dropAt = -1;
    m_device.reset();
}

void Modem::onData(std::string_view data, int64_t now)
{
    m_log.rx(data, now);
    if (m_state != State::Online) {
        for (char c : data)
            commandByte(c, now);
        flushEcho();
        return;
    }
    // Online: "+++" with silence before and after escapes to command mode; every other byte
    // belongs to the far-end device.
    std::string chunk;
    for (char c : data) {
        if (c == '+' && m_plus < 3 && (m_plus > 0 || now - m_lastData >= m_cfg.guardMs)) {
            if (!chunk.empty()) {
                toDevice(chunk, now);
                chunk.clear();
            }
            ++m_plus;
            m_plusAt = now;
            continue;
        }
        if (m_plus > 0)
            flushPlus(now);
        chunk += c;
    }
    if (!chunk.empty()) {
        toDevice(chunk, now);
        m_lastData = now;
    }
}

bool Modem::bareHangUp() const
{
    std::string upper;
    for (char c : m_command)
        upper += char(std::toupper(static_cast<unsigned char>(c)));
    return upper == "ATH" || upper == "ATH0";
}

void Modem::flushEcho()
{
    if (!m_pendingEcho.empty())
        m_line.send(m_pendingEcho);
    m_pendingEcho.clear();
}

void Modem::commandByte(char c, int64_t now)
{
    m_lastCommandByte = now;
    // A line feed after the carriage return is not echoed, as on a real modem: the echo of
    // "AT\r\n" reads "AT\r" before the answer, which follows the echo.
    if (m_echo && c != '\n')
        m_pendingEcho += c;
    if (c == '\r') {
        flushEcho();
        execute(now);
        return;
    }
    if (c == '\n')
        return;
    if (c == '\b' || c == 0x7F) {
        if (!m_command.empty())
            m_command.pop_back();
        return;
    }
    if (m_command.size() < 256)
        m_command += c;
}

void Modem::flushPlus(int64_t now)
{
    const std::string pluses(size_t(m_plus), '+');
    m_plus = 0;
    toDevice(pluses, now);
}

void Modem::toDevice(std::string_view data, int64_t now)
{
    for (const tools::OutPiece &p : m_device.feed(data, now))
        m_line.send(p.bytes, p.delayMs);
}

void Modem::onTimer(int64_t now)
{
    if (m_state == State::Dialing && m_dialAt >= 0 && now >= m_dialAt)
        finishDial(now);
    if (m_callUp && m_dropAt >= 0 && now >= m_dropAt)
        dropCall(now);
    if (m_state == State::Online) {
        if (m_plus > 0 && now - m_plusAt >= m_cfg.guardMs) {
            if (m_plus == 3) {
                m_plus = 0;
                m_state = State::Command;
                m_log.event("escape", now);
                reply("OK");
            } else {
                flushPlus(now);
            }
        }
        for (const tools::OutPiece &p : m_device.onDeadline(now))
            m_line.send(p.bytes, p.delayMs);
    } else if (bareHangUp() && now - m_lastCommandByte >= m_cfg.guardMs) {
        // The wizard ends a call with "ATH" and no carriage return; after a pause with no
        // further bytes it counts as complete. Other commands wait for their CR, so a person
        // typing slowly in a terminal is not cut short.
        execute(now);
    }
}

void Modem::execute(int64_t now)
{
    std::string line;
    for (char c : m_command)
        line += char(std::toupper(static_cast<unsigned char>(c)));
    const std::string original = m_command;
    m_command.clear();
    const size_t at = line.find("AT");
    if (at == std::string::npos)
        return; // noise without "AT" is ignored, as a modem does
    const std::string cmd = line.substr(at + 2);
    m_log.event("command AT" + cmd, now);
    if (m_state == State::Dialing) {
        // Any command cancels a dial that is still in progress.
        m_state = State::Command;
        m_dialAt = -1;
        m_log.event("dial-aborted", now);
    }
    if (cmd.empty()) {
        reply("OK");
    } else if (cmd == "Z") {
        m_echo = m_cfg.echo;
        reply("OK");
    } else if (cmd == "E0" || cmd == "E1" || cmd == "E") {
        m_echo = cmd == "E1";
        reply("OK");
    } else if (cmd.rfind("+CBST=", 0) == 0 &&
               cmd.find_first_not_of("0123456789,", 6) == std::string::npos && cmd.size() > 6) {
        reply("OK");
    } else if (cmd == "+CREG?") {
        const size_t i = std::min(m_cregQueries++, m_cfg.cregSequence.size() - 1);
        reply("+CREG: 0," + std::to_string(m_cfg.cregSequence[i]));
        reply("OK");
    } else if (cmd == "H" || cmd == "H0") {
        if (m_callUp)
            m_log.event("hangup", now);
        m_callUp = false;
        m_dropAt = -1;
        reply("OK");
    } else if (cmd == "O" && m_callUp) {
        m_state = State::Online;
        m_lastData = now;
        reply(m_cfg.connectText);
    } else if (cmd.size() > 1 && cmd[0] == 'D' && !m_callUp) {
        // The number as typed, from the original (not upper-cased) text.
        m_log.event("dial " + original.substr(original.size() - (cmd.size() - 1)), now);
        m_state = State::Dialing;
        m_dialAt = now + m_cfg.dialDelayMs;
        if (m_cfg.dialResult == "silence")
            m_dialAt = -1;
    } else {
        reply("ERROR");
    }
}

// The result words are written out here on purpose, not taken from the wizard's table
// (modem/ModemResults.h): a stand-in that shared the product's table would agree with it by
// construction and hide a wrong word in it.
void Modem::finishDial(int64_t now)
{
    m_dialAt = -1;
    m_state = State::Command;
    const std::string &r = m_cfg.dialResult;
    m_log.event("dial-result " + r, now);
    if (r == "connect") {
        m_state = State::Online;
        m_callUp = true;
        m_plus = 0;
        m_lastData = now;
        m_device.reset();
        m_dropAt = m_cfg.dropAfterMs >= 0 ? now + m_cfg.dropAfterMs : -1;
        reply(m_cfg.connectText);
        m_log.event("connect", now);
    } else if (r == "busy") {
        reply("BUSY");
    } else if (r == "no-carrier") {
        reply("NO CARRIER");
    } else if (r == "no-dialtone") {
        reply("NO DIALTONE");
    } else if (r == "no-answer") {
        reply("NO ANSWER");
    }
}

void Modem::dropCall(int64_t now)
{
    if (!m_callUp)
        return;
    m_callUp = false;
    m_dropAt = -1;
    m_plus = 0;
    m_state = State::Command;
    m_command.clear();
    m_device.reset();
    m_log.event("drop", now);
    reply("NO CARRIER");
}
