#pragma once

#include "line/callin/HeartbeatFilter.h"
#include "line/network/RawProtocol.h"

#include <chrono>
#include <optional>

// What a device that calls in speaks: a raw byte stream, from which its router's heartbeat is
// taken out where it follows a quiet spell of at least QuietSpell. Speed and line format are the
// router's business.
class TCallInProtocol final : public TRawProtocol
{
public:
    static constexpr std::chrono::milliseconds QuietSpell{250};

    explicit TCallInProtocol(QByteArray heartbeat) : FFilter(std::move(heartbeat)) {}

    void Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &) override
    {
        const auto now = std::chrono::steady_clock::now();
        // The first bytes of a link follow a quiet spell too: nothing was relayed before them.
        const bool afterQuiet = !FLast || now - *FLast >= QuietSpell;
        FLast = now;
        FFilter.Filter(bytes, size, afterQuiet, data);
    }

private:
    THeartbeatFilter FFilter;
    std::optional<std::chrono::steady_clock::time_point> FLast;
};
