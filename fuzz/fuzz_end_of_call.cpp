// Device data of a modem link through the relay's end-of-call test, one read at a time. Besides
// crashes and sanitizer reports: a read block ends the call exactly when it holds one of the
// modem's failure words in any letter case, and the same word placed anywhere in any block is
// found.
#include "FuzzCheck.h"
#include "modem/ModemResults.h"

#include <cstdint>

namespace
{

bool HoldsAnyWord(const QByteArray &block)
{
    for (const TModemFailureWord &word : ModemFailureWords) {
        if (HoldsWordAnyCase(block, word.Word))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray block(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    check((FindModemFailure(block) != RingResult::Connected) == HoldsAnyWord(block));

    // A word of the table, in mixed case, put into the block at a place the input chooses.
    const TModemFailureWord &word = ModemFailureWords[data[0] % ModemFailureWords.size()];
    QByteArray mixed(word.Word);
    for (qsizetype i = 0; i < mixed.size(); i += 2)
        mixed[i] = char(QChar::toLower(ushort(mixed[i])));
    const qsizetype at = block.isEmpty() ? 0 : qsizetype(data[0]) % (block.size() + 1);
    const QByteArray withWord = block.left(at) + mixed + block.mid(at);
    const std::uint32_t code = FindModemFailure(withWord);
    check(code != RingResult::Connected && IsDialFailure(code));
    return 0;
}
