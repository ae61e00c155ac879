#pragma once
// The field device's behaviour on its line: the identification answer and the frame protocol.
// It produces output pieces with pauses; the caller owns the line and the clock.
#include "common/Frame.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tools
{

struct IdentConfig {
    // Without the final "OK\r\n", which is added unless noOk is set.
    std::string reply = "+VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"\r\n";
    bool echo = false;   // repeat the request before the reply
    bool pieces = false; // send the reply in three pieces with pieceGapMs between them
    int64_t pieceGapMs = 300;
    bool silent = false; // never answer
    bool noOk = false;   // leave out "OK\r\n"
    bool lower = false;  // answer in lower case
};

struct OutPiece {
    std::string bytes;
    int64_t delayMs = 0; // pause before this piece
};

class DeviceEngine
{
public:
    explicit DeviceEngine(IdentConfig ident) : m_ident(std::move(ident)) { reset(); }
    // Forgets a half-received frame and restores the parameters; used on a new call.
    void reset();
    std::vector<OutPiece> feed(std::string_view data, int64_t now);
    // A frame whose bytes stop coming for this long is answered as incomplete.
    static constexpr int64_t FrameGapMs = 2000;
    int64_t deadline() const { return m_parser.inFrame() ? m_lastByte + FrameGapMs : -1; }
    std::vector<OutPiece> onDeadline(int64_t now);
    uint64_t framesAnswered() const { return m_answered; }

private:
    std::vector<OutPiece> identification() const;
    std::string answer(const Frame &request);
    std::string errorFrame(int seq, uint8_t status) const;
    IdentConfig m_ident;
    FrameParser m_parser;
    std::string m_textTail;
    std::map<uint16_t, std::string> m_params;
    int64_t m_lastByte = 0;
    uint64_t m_answered = 0;
};

} // namespace tools

namespace tools
{
class Options;
struct LineOptions;

// The identification options shared by the device and the modem's far end.
struct IdentOptions {
    IdentConfig config;
    std::string reply;
    long long pieceGapMs = 300;
    void addTo(Options &options);
    // Applies --ident and the time scale; call after parsing.
    void finish(const LineOptions &line);
};
} // namespace tools
