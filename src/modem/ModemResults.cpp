#include "modem/ModemResults.h"

#include "log/Win1251.h"

namespace
{

// By code, from RingResult::PortNotOpened on.
const std::array<QString, 7> ModemErrorTexts = {
    QStringLiteral("Не могу открыть COM-порт"),   QStringLiteral("Модем не отвечает"),
    QStringLiteral("Нет регистрации в сети GSM"), QStringLiteral("Номер занят"),
    QStringLiteral("Не могу дозвониться"),        QStringLiteral("Нет сигнала в линии"),
    QStringLiteral("Номер не отвечает")};

} // namespace

std::uint32_t FindModemFailure(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return RingResult::Connected;
    // Upper-cased as text: Windows-1251 letters beyond ASCII have their own case pairs.
    const QString upper = Win1251ToString(bytes).toUpper();
    for (const TModemFailureWord &failure : ModemFailureWords) {
        if (upper.contains(QLatin1String(failure.Word)))
            return failure.Code;
    }
    return RingResult::Connected;
}

TModemReply JudgeModemReply(const QByteArray &reply, const QByteArray &expected)
{
    TModemReply judged;
    judged.Code = FindModemFailure(reply);
    if (judged.Code != RingResult::Connected)
        judged.Verdict = TModemReply::TVerdict::Failed;
    else if (Win1251ToString(reply).toUpper().contains(QString::fromLatin1(expected)))
        judged.Verdict = TModemReply::TVerdict::Expected;
    return judged;
}

bool IsDialFailure(std::uint32_t code)
{
    return code >= RingResult::PortNotOpened && code <= RingResult::NoAnswer;
}

QString ModemErrorText(std::uint32_t code)
{
    if (!IsDialFailure(code))
        return {};
    return ModemErrorTexts[code - RingResult::PortNotOpened];
}
