#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

TResult TResult::FromErrno(const QString &what, int error)
{
    return Failure(FaultOfErrno(error), ErrnoReason(what, error));
}

TFault FaultOfErrno(int error)
{
    switch (error) {
    case 0:
        return TFault::Other; // a failure whose cause the system did not say
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return TFault::NotFound;
    case EBUSY:
        return TFault::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
        return TFault::Permission;
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
        return TFault::Refused;
    case ETIMEDOUT:
        return TFault::TimedOut;
    case EAGAIN:
    case EINPROGRESS:
    case EALREADY:
        return TFault::Pending;
    case EIO:
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ENETRESET:
    case EHOSTDOWN:
        return TFault::Lost;
    case ENOTTY:
    case EOPNOTSUPP:
    case ENOSYS:
    case EPROTONOSUPPORT:
        return TFault::Unsupported;
    case EINVAL:
    case EBADF:
    case ERANGE:
    case ENOTDIR:
    case EISDIR:
        return TFault::Invalid;
    default:
        return TFault::Other;
    }
}

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString ErrnoReason(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, ErrnoText(error));
}
