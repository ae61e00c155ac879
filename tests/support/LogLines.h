#pragma once

#include <QString>
#include <QStringList>

class TLogModel;

// Whether a log item is a timestamp ("yyyy.mm.dd hh:mm:ss.zzz") followed by exactly tail.
bool IsLogLine(const QString &item, const QString &tail);
// Adds the lines to the log as they are, without times of their own, and shows them at once.
void AppendLines(TLogModel &log, const QStringList &lines);
