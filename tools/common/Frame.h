#pragma once
// Frames of the device protocol spoken between the setup stand-in and the device stand-in.
//
//   STX(0x02) SEQ(2 hex) TYPE(2 hex) LEN(4 hex) PAYLOAD(LEN raw bytes) CRC(4 hex) ETX(0x03)
//
// Hex digits are upper case. CRC is CRC-16/CCITT-FALSE over the eight header characters and the
// payload, so a byte lost, added, swapped or changed on the way is caught; the sequence number
// catches a reply that belongs to another request. LEN is at most MaxPayload.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tools
{

constexpr char Stx = 0x02;
constexpr char Etx = 0x03;
constexpr size_t MaxPayload = 4096;
constexpr size_t FrameOverhead = 14;

enum FrameType : uint8_t {
    ReadParam = 0x01,  // payload: number (2 bytes, big-endian); reply: number + value
    WriteParam = 0x02, // payload: number + value (up to 64 bytes); reply: number
    Echo = 0x03,       // payload: any bytes; reply: the same bytes
    Sink = 0x04,       // payload: any bytes; reply: "CCCCCCCC:KKKK" (count, CRC in hex)
    ReplyFlag = 0x80,  // a reply carries the request's type with this bit set
    ErrorReply = 0x7F  // payload: one status byte (FrameStatus)
};

enum FrameStatus : uint8_t {
    BadChecksum = 1,
    BadFrame = 2,
    UnknownType = 3,
    BadParameter = 4,
    ForbiddenText = 5, // the reply would have contained a modem result text
    Incomplete = 6     // the rest of the frame never came
};

struct Frame {
    uint8_t seq = 0;
    uint8_t type = 0;
    std::string payload;
};

uint16_t crc16(std::string_view data, uint16_t crc = 0xFFFF);
std::string encodeFrame(const Frame &frame);
// True when data contains a text that a modem link takes as the end of the call
// ("BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER", any letter case).
bool containsModemResultText(std::string_view data);
std::string hex(uint32_t value, int digits);

// Reassembles frames from a byte stream that may arrive in any pieces.
class FrameParser
{
public:
    enum class Result { None, Frame, Error };
    struct Event {
        Result result = Result::None;
        Frame frame;        // for Frame
        int seq = -1;       // for Error: the sequence number when the header was readable
        uint8_t status = 0; // for Error
    };
    // Consumes bytes up to the end of one frame (or error); returns how many it used.
    size_t feed(std::string_view data, Event &event);
    bool inFrame() const { return m_state != State::Idle; }
    // Gives up a frame whose rest did not come; returns the event to report.
    Event abandon();

private:
    enum class State { Idle, Header, Payload, Crc, End };
    State m_state = State::Idle;
    std::string m_header, m_payload, m_crc;
    size_t m_len = 0;
    int m_seq = -1;
    uint8_t m_type = 0;
};

} // namespace tools
