// A modem's replies, arriving in pieces, through the dialer's judgement of them. Besides crashes
// and sanitizer reports: a reply that holds the expected word and no failure word is the answer;
// one that holds a failure word fails with the code of the first word of the table it holds,
// in any letter case; once a collected reply is decided, every longer one is decided too.
#include "FuzzCheck.h"
#include "modem/ModemResults.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const QByteArray expectedWords[] = {"OK", "0,1", "CONNECT"};
    const QByteArray &expected = expectedWords[data[0] % 3];
    const unsigned cuts = data[1];
    const QByteArray input(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2));

    QByteArray reply;
    bool decided = false;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype piece = std::min<qsizetype>(qsizetype(cuts % 13) + 1, input.size() - at);
        reply += input.mid(at, piece);
        at += piece;
        const TModemReply judged = JudgeModemReply(reply, expected);
        check(!decided || judged.Verdict != TModemReply::TVerdict::Waiting);
        decided = judged.Verdict != TModemReply::TVerdict::Waiting;

        std::uint32_t failure = RingResult::Connected;
        for (const TModemFailureWord &word : ModemFailureWords) {
            if (HoldsWordAnyCase(reply, word.Word)) {
                failure = word.Code;
                break;
            }
        }
        if (failure != RingResult::Connected) {
            check(judged.Verdict == TModemReply::TVerdict::Failed && judged.Code == failure);
            check(IsDialFailure(judged.Code) && !ModemErrorText(judged.Code).isEmpty());
        } else if (HoldsWordAnyCase(reply, expected.constData())) {
            check(judged.Verdict == TModemReply::TVerdict::Expected);
        }
    }
    return 0;
}
