#pragma once

#include <QString>

// Whether a log item is a timestamp ("yyyy.mm.dd hh:mm:ss.zzz") followed by exactly tail.
bool IsLogLine(const QString &item, const QString &tail);
