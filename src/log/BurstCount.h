#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// How the log tells of a burst of refused callers without being flooded: the first refusal of a
// key (a user, a caller's address) gets its line at once; further ones are counted, and one line
// says how many once the key has been quiet for the burst's length, or every burst's length while
// it lasts. At most maxKeys keys are told apart; callers beyond them share the key overflow, so
// that a burst from many addresses costs no more memory than one from a few. Times are
// milliseconds of one clock, compared as unsigned differences.
template <typename TKey> class TBurstCount
{
public:
    TBurstCount(std::uint32_t burstMs, std::size_t maxKeys, TKey overflow)
        : FBurstMs(burstMs), FMaxKeys(maxKeys), FOverflow(std::move(overflow))
    {
    }

    // A refusal of the key at now; the key it is counted under (the key itself, or overflow), and
    // whether it begins a burst, whose first line is written at once.
    std::pair<TKey, bool> Add(const TKey &key, std::uint32_t now)
    {
        const TKey &counted =
            FBursts.count(key) != 0 || FBursts.size() < FMaxKeys ? key : FOverflow;
        const auto found = FBursts.find(counted);
        if (found != FBursts.end()) {
            ++found->second.Counted;
            found->second.Last = now;
            return {counted, false};
        }
        FBursts[counted] = TBurst{now, now, 0};
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
            }
            it = over ? FBursts.erase(it) : std::next(it);
        }
        return due;
    }

    bool Empty() const { return FBursts.empty(); }

private:
    struct TBurst {
        std::uint32_t Since = 0; // the start of the stretch now being counted
        std::uint32_t Last = 0;  // the latest refusal
        int Counted = 0;         // refusals since Since, beyond the one written
    };

    std::uint32_t FBurstMs;
    std::size_t FMaxKeys;
    TKey FOverflow;
    std::map<TKey, TBurst> FBursts;
};
