#pragma once
// A GSM modem on a serial line: the AT command dialogue, the dial outcome chosen per run, and,
// once connected, the far-end device carried over the call until "+++"/ATH or a dropped call.
#include "DialogueLog.h"
#include "common/DeviceEngine.h"
#include "common/Line.h"

#include <string>
#include <vector>

struct ModemConfig {
    bool echo = true;
    std::vector<int> cregSequence{1};   // status per query; the last one repeats
    std::string dialResult = "connect"; // connect busy no-carrier no-dialtone no-answer silence
    int64_t dialDelayMs = 2000;
    std::string connectText = "CONNECT 9600";
    int64_t dropAfterMs = -1; // after CONNECT
    int64_t guardMs = 100;    // silence around "+++", and the pause that ends a bare "ATH"
    std::string greeting;
    int64_t greetingDelayMs = 500;
};

bool validDialResult(const std::string &result);
// "2,2,1" -> {2,2,1}; false on anything else.
bool parseCregSequence(const std::string &text, std::vector<int> &out);

class Modem : public tools::LineHandler
{
public:
    Modem(tools::Line &line, DialogueLog &log, ModemConfig config, tools::IdentConfig ident);
    void start(int64_t now);
    void onData(std::string_view data, int64_t now) override;
    void onTimer(int64_t now) override;
    int64_t deadline() const override;
    void onSignal2(int64_t now) override { dropCall(now); }
    void onUnplug(int64_t now) override;

private:
    enum class State { Command, Dialing, Online };
    void commandByte(char c, int64_t now);
    void execute(int64_t now);
    void reply(const std::string &text) { m_line.send("\r\n" + text + "\r\n"); }
    void finishDial(int64_t now);
    void dropCall(int64_t now);
    void toDevice(std::string_view data, int64_t now);
    void flushPlus(int64_t now);
    void flushEcho();
    bool bareHangUp() const;

    tools::Line &m_line;
    DialogueLog &m_log;
    ModemConfig m_cfg;
    tools::DeviceEngine m_device;
    State m_state = State::Command;
    bool m_echo;
    bool m_callUp = false; // a call exists (online, or in command mode after "+++")
    std::string m_command, m_pendingEcho;
    int64_t m_lastCommandByte = 0;
    size_t m_cregQueries = 0;
    int64_t m_dialAt = -1, m_dropAt = -1;
    int m_plus = 0;
    int64_t m_plusAt = 0, m_lastData = 0;
};
