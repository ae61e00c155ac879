#pragma once

#include <QByteArray>
#include <QList>

// Which line a caller is, from the first bytes it sends: the registration packet of one of the
// lines that share a listening socket, matched exactly at the start. The decision is stable: once
// made for some bytes, more bytes never change it.
class TRegistration
{
public:
    // ids: the registration packets of the lines on the socket, in port-map order; anonymous:
    // whether a line without one is there too, which takes the callers that match none.
    TRegistration(QList<QByteArray> ids, bool anonymous)
        : FIds(std::move(ids)), FAnonymous(anonymous)
    {
    }

    enum class TVerdict {
        Waiting,   // not decided yet: more bytes may still make a longer registration
        Matched,   // the line Line; its first Consumed bytes are the registration
        Anonymous, // the line without a registration; every byte is the device's
        Refused,   // no line's registration, and no line takes callers without one
    };
    struct TDecision {
        TVerdict Verdict = TVerdict::Waiting;
        int Line = -1;
        qsizetype Consumed = 0;
    };

    // Judges the bytes a caller has sent so far. final: no more will be waited for (its time ran
    // out, it was quiet long enough, or it left); a final decision is never Waiting. Bytes beyond
    // the longest registration are never waited on.
    TDecision Judge(const QByteArray &collected, bool final) const;

private:
    QList<QByteArray> FIds;
    bool FAnonymous;
};
