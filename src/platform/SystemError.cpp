#include "platform/SystemError.h"

#include <cstring>

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString ErrnoReason(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, ErrnoText(error));
}
