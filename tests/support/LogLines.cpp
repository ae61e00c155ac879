#include "support/LogLines.h"

#include <QRegularExpression>

bool IsLogLine(const QString &item, const QString &tail)
{
    static const QString stamp = QStringLiteral(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3})");
    return QRegularExpression(QLatin1Char('^') + stamp + QRegularExpression::escape(tail) +
                              QLatin1Char('$'))
        .match(item)
        .hasMatch();
}
