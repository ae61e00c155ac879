// A caller's first bytes through the registration, and a called-in line's bytes through the
// heartbeat filter. The input's first byte chooses the registrations on the socket; the rest is
// what the caller sends. Besides crashes and sanitizer reports: the registration is decided once
// and for good within its bound (more bytes never change a decision, and none is waited on past
// the longest registration), a match is an exact registration at the start, and the filter
// passes unchanged all data that does not begin with a whole heartbeat after a quiet spell, and
// takes out nothing but whole heartbeats at the start.
#include "FuzzCheck.h"
#include "line/callin/CallInOptions.h"
#include "line/callin/HeartbeatFilter.h"
#include "line/callin/Registration.h"

#include <cstdint>

namespace
{

// Registrations that share prefixes with each other and with the input's bytes.
const QList<QByteArray> Candidates = {"860000000000001", "8600", "86000000000000012", "\xFF\x01",
                                      "A"};

void CheckRegistration(const QList<QByteArray> &ids, bool anonymous, const QByteArray &bytes)
{
    const TRegistration registration(ids, anonymous);
    qsizetype longest = 0;
    for (const QByteArray &id : ids)
        longest = std::max(longest, id.size());
    TRegistration::TDecision decided;
    for (qsizetype n = 0; n <= bytes.size(); ++n) {
        const QByteArray collected = bytes.left(n);
        const TRegistration::TDecision now = registration.Judge(collected, false);
        const TRegistration::TDecision final = registration.Judge(collected, true);
        check(final.Verdict != TRegistration::TVerdict::Waiting);
        check(now.Verdict != TRegistration::TVerdict::Waiting || n <= longest);
        if (now.Verdict == TRegistration::TVerdict::Matched)
            check(collected.startsWith(ids.at(now.Line)) &&
                  now.Consumed == ids.at(now.Line).size());
        if (decided.Verdict != TRegistration::TVerdict::Waiting)
            check(now.Verdict == decided.Verdict && now.Line == decided.Line &&
                  now.Consumed == decided.Consumed);
        else
            decided = now;
        check(now.Verdict != TRegistration::TVerdict::Anonymous || anonymous);
    }
}

void CheckHeartbeat(const QByteArray &heartbeat, const QByteArray &bytes, bool afterQuiet)
{
    QByteArray data;
    THeartbeatFilter(heartbeat).Filter(bytes.constData(), bytes.size(), afterQuiet, data);
    check(bytes.endsWith(data));
    const qsizetype removed = bytes.size() - data.size();
    if (!afterQuiet || !bytes.startsWith(heartbeat))
        check(removed == 0);
    check(heartbeat.isEmpty() ? removed == 0 : removed % heartbeat.size() == 0);
    for (qsizetype at = 0; at < removed; at += heartbeat.size())
        check(bytes.mid(at, heartbeat.size()) == heartbeat);
    check(!data.startsWith(heartbeat) || heartbeat.isEmpty() || !afterQuiet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned choice = data[0];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    QList<QByteArray> ids;
    for (int i = 0; i < Candidates.size(); ++i) {
        if (choice & (1u << i))
            ids << Candidates.at(i);
    }
    CheckRegistration(ids, (choice & 0x80) != 0, bytes.left(TCallInOptions::MaxRegistration + 2));

    // The heartbeat: one of the candidates, or the input's own first bytes.
    const QByteArray heartbeat =
        (choice & 0x20) != 0 ? bytes.left(1 + (choice & 0x3)) : Candidates.at(choice % 5);
    CheckHeartbeat(heartbeat, bytes, (choice & 0x40) != 0);
    return 0;
}
