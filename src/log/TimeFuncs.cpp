#include "log/TimeFuncs.h"

QString TimeStampString(const QDateTime &when)
{
    // QDateTime::toString is locale-independent; MM is the month, mm the minute, hh the 24-hour
    // hour as long as the pattern has no AM/PM marker.
    return when.toLocalTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz"));
}
