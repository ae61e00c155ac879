#include "line/callin/Registration.h"

TRegistration::TDecision TRegistration::Judge(const QByteArray &collected, bool final) const
{
    // The longest registration the bytes begin with, and whether a longer one may still come.
    int best = -1;
    bool longerPossible = false;
    for (int i = 0; i < FIds.size(); ++i) {
        const QByteArray &id = FIds.at(i);
        if (collected.startsWith(id)) {
            if (best < 0 || id.size() > FIds.at(best).size())
                best = i;
        } else if (id.startsWith(collected)) {
            longerPossible = true;
        }
    }
    if (longerPossible && !final)
        return {};
    if (best >= 0)
        return {TVerdict::Matched, best, FIds.at(best).size()};
    return {FAnonymous ? TVerdict::Anonymous : TVerdict::Refused, -1, 0};
}
