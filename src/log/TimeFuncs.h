#pragma once

#include <QDateTime>
#include <QString>

// The log's timestamp of a moment, in local wall-clock time: "yyyy.mm.dd hh:mm:ss.zzz" with a
// four-digit year, two-digit month, day, hour (00-23), minute and second and three-digit
// milliseconds.
QString TimeStampString(const QDateTime &when = QDateTime::currentDateTime());
