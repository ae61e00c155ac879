#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

TResult TResult::FromErrno(const QString &what, int error)
{
    return Failure(FaultOfErrno(error), ErrnoReason(what, error));
}

TFault FaultOfErrno(int error)
{
    struct TKindOf {
        int Error;
        TFault Fault;
    };
    static constexpr TKindOf kinds[] = {
        {ENOENT, TFault::NotFound},     {ENODEV, TFault::NotFound},
        {ENXIO, TFault::NotFound},      {EBUSY, TFault::Busy},
        {EACCES, TFault::Permission},   {EPERM, TFault::Permission},
        {EROFS, TFault::Permission},    {ECONNREFUSED, TFault::Refused},
        {ENETUNREACH, TFault::Refused}, {EHOSTUNREACH, TFault::Refused},
        {ETIMEDOUT, TFault::TimedOut},  {EINPROGRESS, TFault::Pending},
        {EALREADY, TFault::Pending},    {EIO, TFault::Lost},
        {EPIPE, TFault::Lost},          {ECONNRESET, TFault::Lost},
        {ECONNABORTED, TFault::Lost},   {ENOTCONN, TFault::Lost},
        {ENETRESET, TFault::Lost},      {EHOSTDOWN, TFault::Lost},
        {ENOTTY, TFault::Unsupported},  {EOPNOTSUPP, TFault::Unsupported},
        {ENOSYS, TFault::Unsupported},  {EPROTONOSUPPORT, TFault::Unsupported},
        {EINVAL, TFault::Invalid},      {EBADF, TFault::Invalid},
        {ERANGE, TFault::Invalid},      {ENOTDIR, TFault::Invalid},
        {EISDIR, TFault::Invalid},
    };
    for (const TKindOf &kind : kinds) {
        if (kind.Error == error)
            return kind.Fault;
    }
    // Any other error, and 0: a failure whose cause the system did not say.
    return TFault::Other;
}

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString ErrnoReason(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, ErrnoText(error));
}
