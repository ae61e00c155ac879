#include "support/LogLines.h"

#include "log/LogModel.h"

#include <QRegularExpression>

bool IsLogLine(const QString &item, const QString &tail)
{
    static const QString stamp = QStringLiteral(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3})");
    return QRegularExpression(QLatin1Char('^') + stamp + QRegularExpression::escape(tail) +
                              QLatin1Char('$'))
        .match(item)
        .hasMatch();
}

void AppendLines(TLogModel &log, const QStringList &lines)
{
    for (const QString &line : lines)
        log.AppendText(line);
    log.Publish();
}
