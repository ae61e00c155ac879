// A server's bytes through the telnet codec of an RFC 2217 line. Besides crashes and sanitizer
// reports: the outcome does not depend on how the bytes were cut into reads, no more data comes
// out than went in, every answer is one well-formed option reply, each negotiation command is
// answered at most once (so negotiation cannot loop), and data escaped for the wire comes back
// unchanged.
#include "FuzzCheck.h"
#include "line/network/TelnetCodec.h"

#include <cstdint>

namespace
{

constexpr unsigned char IAC = 255;

struct TOutcome {
    QByteArray Data;
    QByteArray Replies;
    TTelnetCodec::TComPort ComPort = TTelnetCodec::TComPort::Pending;
};

// Decodes the input in pieces whose lengths come from the cut pattern (0: all at once).
TOutcome Decode(const QByteArray &input, unsigned cuts)
{
    TTelnetCodec codec;
    (void)codec.Greeting();
    TOutcome outcome;
    qsizetype at = 0;
    unsigned pattern = cuts;
    while (at < input.size()) {
        const qsizetype piece = cuts == 0 ? input.size() : qsizetype(pattern % 7) + 1;
        pattern = pattern / 7 + cuts;
        const qsizetype size = std::min(piece, input.size() - at);
        codec.Decode(input.constData() + at, size, outcome.Data, outcome.Replies);
        at += size;
    }
    outcome.ComPort = codec.ComPort();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned cuts = bytes[0];
    const QByteArray input(reinterpret_cast<const char *>(bytes) + 1, qsizetype(size - 1));

    const TOutcome whole = Decode(input, 0);
    const TOutcome pieces = Decode(input, cuts | 1u);
    check(whole.Data == pieces.Data && whole.Replies == pieces.Replies &&
          whole.ComPort == pieces.ComPort);
    check(whole.Data.size() <= input.size());

    // Answers: IAC, one of WILL, WONT, DO, DONT, an option; at most one per command received.
    check(whole.Replies.size() % 3 == 0);
    qsizetype commands = 0;
    for (qsizetype i = 0; i + 1 < input.size(); ++i) {
        const auto verb = static_cast<unsigned char>(input[i + 1]);
        if (static_cast<unsigned char>(input[i]) == IAC && verb >= 251 && verb <= 254)
            ++commands;
    }
    check(whole.Replies.size() / 3 <= commands);
    for (qsizetype i = 0; i < whole.Replies.size(); i += 3) {
        const auto verb = static_cast<unsigned char>(whole.Replies[i + 1]);
        check(static_cast<unsigned char>(whole.Replies[i]) == IAC && verb >= 251 && verb <= 254);
    }

    // Any data, escaped for the wire, reads back unchanged and asks for no answer.
    QByteArray wire;
    TTelnetCodec::EncodeData(input.constData(), input.size(), wire);
    const TOutcome back = Decode(wire, cuts | 1u);
    check(back.Data == input && back.Replies.isEmpty());
    return 0;
}
