#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>

// The client's side of a telnet connection with the COM port control option (RFC 2217), as
// bytes in and bytes out, without any input or output of its own:
// - data bytes pass unchanged; 0xFF goes out doubled and comes back single;
// - option negotiation: the client offers COM-PORT-OPTION, binary transmission and no go-ahead
//   in both directions, accepts those and refuses every other option (RFC 854's rules: a request
//   for a state already in force is not answered, so negotiation never loops);
// - the server's subnegotiations (answers to settings, line-state and modem-state
//   notifications, flow-control suspend and resume) are consumed and never reach the data.
class TTelnetCodec
{
public:
    enum class TComPort { Pending, Accepted, Refused };

    // The client's first words: WILL COM-PORT-OPTION, DO/WILL BINARY, DO/WILL SUPPRESS-GO-AHEAD.
    QByteArray Greeting();

    // Decodes bytes from the server: data goes to the end of data, answers owed to the server
    // to the end of replies. Sequences cut between two calls are carried over.
    void Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &replies);

    // Whether the server agreed to the COM port control option, refused it, or has not said.
    TComPort ComPort() const { return FComPort; }

    // Data for the wire: every 0xFF doubled.
    static void EncodeData(const char *bytes, qsizetype size, QByteArray &out);

    // The client's COM port control commands (RFC 2217 numbering), and their values used here.
    enum class TComPortCommand : std::uint8_t {
        SetDataSize = 2,       // 8
        SetParity = 3,         // 1 none
        SetStopSize = 4,       // 1 one stop bit
        SetControl = 5,        // 1 no flow control, 9 DTR off, 11 RTS on
        SetLineStateMask = 10, // 0 no notices
        SetModemStateMask = 11,
        PurgeData = 12, // 1 receive, 2 transmit, 3 both
    };
    // One command as a subnegotiation, its value escaped.
    static QByteArray ComPortCommand(TComPortCommand command, std::uint8_t value);
    static QByteArray SetBaudRate(std::uint32_t baudRate);

private:
    enum class TState { Data, Iac, Will, Wont, Do, Dont, Sub, SubIac };

    void Negotiate(TState verb, unsigned char option, QByteArray &replies);

    TState FState = TState::Data;
    // Options in force: ours (we WILL) and the server's (it WILL).
    std::array<bool, 256> FLocal{};
    std::array<bool, 256> FRemote{};
    TComPort FComPort = TComPort::Pending;
};
