#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// How a modem attempt ends, and the words a modem uses to say that a call failed or ended. The
// dialer matches the words in its replies, the relay in the data of a running modem link; both
// use the one table here.

// The dialer's result codes (ErrorCode): how the attempt ended.
namespace RingResult
{
inline constexpr std::uint32_t Connected = 0;     // "CONNECT": the link is up
inline constexpr std::uint32_t PortNotOpened = 1; // opening or preparing the port failed
inline constexpr std::uint32_t ModemSilent = 2;   // no "OK" to "AT" or "AT+CBST=7,0,1"
inline constexpr std::uint32_t NotRegistered = 3; // no "0,1" in ten "AT+CREG?" replies
inline constexpr std::uint32_t Busy = 4;          // "BUSY"
inline constexpr std::uint32_t NoCarrier = 5;     // "NO CARRIER"
inline constexpr std::uint32_t NoDialtone = 6;    // "NO DIALTONE"
inline constexpr std::uint32_t NoAnswer = 7;      // "NO ANSWER", or no "CONNECT" in time
inline constexpr std::uint32_t Cancelled = 255;   // written by the owner before it cancels
} // namespace RingResult

// A result word of the modem that means the call failed or has ended, with the dialer's code
// for it.
struct TModemFailureWord {
    const char *Word;
    std::uint32_t Code;
};

// In the order they are looked for: the first one found in a reply decides its code.
inline constexpr std::array<TModemFailureWord, 4> ModemFailureWords = {{
    {"BUSY", RingResult::Busy},
    {"NO CARRIER", RingResult::NoCarrier},
    {"NO DIALTONE", RingResult::NoDialtone},
    {"NO ANSWER", RingResult::NoAnswer},
}};

// The code of the first failure word that stands anywhere in the bytes (Windows-1251 text, any
// letter case); RingResult::Connected when there is none.
std::uint32_t FindModemFailure(const QByteArray &bytes);

// How a modem's reply, as collected so far, answers a command: a failure word ends the wait with
// its code (Failed), whatever else the reply holds; otherwise the expected word (any letter case)
// is the answer (Expected); else the reply is not complete yet.
struct TModemReply {
    enum class TVerdict { Waiting, Expected, Failed };
    TVerdict Verdict = TVerdict::Waiting;
    std::uint32_t Code = RingResult::Connected; // the failure's code when Failed
};
TModemReply JudgeModemReply(const QByteArray &reply, const QByteArray &expected);

// Whether the code is a failed attempt that the window shows as a status text (1 to 7).
bool IsDialFailure(std::uint32_t code);

// The status text of a failed attempt; empty for any code that is not one.
QString ModemErrorText(std::uint32_t code);
