#include "endpoint/SocketError.h"

#include "platform/SystemError.h"

#include <QString>

std::runtime_error SocketApiError(int error, const char *api)
{
    const QString text = QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
                             .arg(ErrnoText(error))
                             .arg(error)
                             .arg(QString::fromLatin1(api));
    return std::runtime_error(text.toStdString());
}

std::runtime_error AsyncSocketError(int code)
{
    return std::runtime_error("Asynchronous socket error " + std::to_string(code));
}

std::runtime_error CreateSocketError()
{
    return std::runtime_error("Can't create new socket");
}

std::runtime_error ActiveSocketError()
{
    return std::runtime_error("Can't change value while socket is active");
}
