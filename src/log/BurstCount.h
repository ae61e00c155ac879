#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// How the log tells of a burst of events from outside without being flooded: the first events of
// a key (a user, a caller's address, a port) get their lines at once, as many as lines allows;
// further ones are counted, and one line says how many once the key has been quiet for the
// burst's length, or every burst's length while it lasts. At most maxKeys keys are told apart;
// callers beyond them share the key overflow, so that a burst from many addresses costs no more
// memory than one from a few. Times are milliseconds of one clock, compared as unsigned
// differences.
template <typename TKey> class TBurstCount
{
public:
    TBurstCount(std::uint32_t burstMs, std::size_t maxKeys, TKey overflow, int lines = 1)
        : FBurstMs(burstMs), FMaxKeys(maxKeys), FOverflow(std::move(overflow)), FLines(lines)
    {
    }

    // An event of the key at now; the key it is counted under (the key itself, or overflow), and
    // whether its line is written at once (the first lines of a stretch) or it is counted.
    std::pair<TKey, bool> Add(const TKey &key, std::uint32_t now)
    {
        const TKey &counted =
            FBursts.count(key) != 0 || FBursts.size() < FMaxKeys ? key : FOverflow;
        const auto found = FBursts.find(counted);
        if (found != FBursts.end()) {
            TBurst &burst = found->second;
            burst.Last = now;
            if (burst.Written < FLines) {
                ++burst.Written;
                return {counted, true};
            }
            ++burst.Counted;
            return {counted, false};
        }
        FBursts[counted] = TBurst{now, now, 1, 0};
        return {counted, true};
    }

    // The counts to write now, by key: of bursts that have been quiet for the burst's length
    // (which end), and of those that have lasted it (which go on, counted anew).
    std::vector<std::pair<TKey, int>> Due(std::uint32_t now)
    {
        std::vector<std::pair<TKey, int>> due;
        for (auto it = FBursts.begin(); it != FBursts.end();) {
            TBurst &burst = it->second;
            const bool over = now - burst.Last >= FBurstMs;
            if ((over || now - burst.Since >= FBurstMs) && burst.Counted > 0) {
                due.emplace_back(it->first, burst.Counted);
                burst.Counted = 0;
                burst.Since = now;
                burst.Written = FLines; // a burst that goes on is counted, not written
            }
            it = over ? FBursts.erase(it) : std::next(it);
        }
        return due;
    }

    bool Empty() const { return FBursts.empty(); }

private:
    struct TBurst {
        std::uint32_t Since = 0; // the start of the stretch now being counted
        std::uint32_t Last = 0;  // the latest event
        int Written = 0;         // events whose lines were written
        int Counted = 0;         // events since Since, beyond those written
    };

    std::uint32_t FBurstMs;
    std::size_t FMaxKeys;
    TKey FOverflow;
    int FLines;
    std::map<TKey, TBurst> FBursts;
};
