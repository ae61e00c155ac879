#pragma once

#include "line/callin/HeartbeatFilter.h"
#include "line/network/LineProtocol.h"

#include <chrono>
#include <optional>

// What a device that calls in speaks: a raw byte stream, from which its router's heartbeat is
// taken out where it follows a quiet spell of at least QuietSpell. Speed and line format are the
// router's business.
class TCallInProtocol final : public TLineProtocol
{
public:
    static constexpr std::chrono::milliseconds QuietSpell{250};

    explicit TCallInProtocol(QByteArray heartbeat) : FFilter(std::move(heartbeat)) {}

    TResult Negotiate(const QString &, TByteStream &, const TDeadline &, QByteArray &) override
    {
        return TResult::Success();
    }
    void Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &) override
    {
        const auto now = std::chrono::steady_clock::now();
        // The first bytes of a link follow a quiet spell too: nothing was relayed before them.
        const bool afterQuiet = !FLast || now - *FLast >= QuietSpell;
        FLast = now;
        FFilter.Filter(bytes, size, afterQuiet, data);
    }
    QByteArray Encode(const char *bytes, qsizetype size) const override
    {
        return QByteArray::fromRawData(bytes, size);
    }
    int WireWidth(char) const override { return 1; }
    QByteArray Opening() const override { return {}; }
    QByteArray LineSettings(int) const override { return {}; }
    QByteArray PurgeBoth() const override { return {}; }
    QByteArray OpenControlLines() const override { return {}; }

private:
    THeartbeatFilter FFilter;
    std::optional<std::chrono::steady_clock::time_point> FLast;
};
