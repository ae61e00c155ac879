#include "line/network/Rfc2217Protocol.h"

#include "line/network/ByteStream.h"
#include "line/network/NetConnect.h"
#include "platform/Deadline.h"

#include <algorithm>
#include <cerrno>

namespace
{

// RFC 2217 commands and the values used here.
using TCommand = TTelnetCodec::TComPortCommand;
constexpr std::uint8_t DataBits8 = 8;
constexpr std::uint8_t ParityNone = 1;
constexpr std::uint8_t OneStopBit = 1;
constexpr std::uint8_t NoFlowControl = 1;
constexpr std::uint8_t DtrOff = 9;
constexpr std::uint8_t RtsOn = 11;
constexpr std::uint8_t PurgeBothQueues = 3;

QByteArray Do(TCommand command, std::uint8_t value)
{
    return TTelnetCodec::ComPortCommand(command, value);
}

// Sends all of bytes before the deadline; the reason when the connection failed or stalled.
TResult SendAll(const QString &where, TByteStream &stream, const QByteArray &bytes,
                const TDeadline &deadline)
{
    const auto left = std::chrono::milliseconds(deadline.RemainingMs());
    if (stream.Send(bytes.constData(), bytes.size(), left) == bytes.size())
        return TResult::Success();
    return stream.Lost() ? stream.Failure() : TResult::FromErrno(where, ETIMEDOUT);
}

} // namespace

TResult TRfc2217Protocol::Negotiate(const QString &where, TByteStream &stream,
                                    const TDeadline &deadline, QByteArray &data)
{
    // The client's offer, then the server's bytes until it agrees to the COM port option or
    // refuses it.
    if (TResult sent = SendAll(where, stream, FCodec.Greeting(), deadline); !sent)
        return sent;
    char buffer[4096];
    while (FCodec.ComPort() == TTelnetCodec::TComPort::Pending) {
        if (!stream.WaitReadable(deadline))
            return TResult::Failure(TFault::TimedOut,
                                    QStringLiteral("%1: сервер не ответил на RFC 2217 за %2 с")
                                        .arg(where)
                                        .arg(NetConnect::AttemptLimit.count()));
        const qsizetype n = stream.Receive(buffer, sizeof buffer);
        if (stream.Lost())
            return stream.Failure();
        QByteArray replies;
        FCodec.Decode(buffer, n, data, replies);
        if (!replies.isEmpty()) {
            if (TResult sent = SendAll(where, stream, replies, deadline); !sent)
                return sent;
        }
    }
    if (FCodec.ComPort() == TTelnetCodec::TComPort::Refused)
        return TResult::Failure(
            TFault::Unsupported,
            QStringLiteral("%1: сервер отказал в управлении COM-портом (RFC 2217)").arg(where));
    return TResult::Success();
}

QByteArray TRfc2217Protocol::Encode(const char *bytes, qsizetype size) const
{
    QByteArray wire;
    TTelnetCodec::EncodeData(bytes, size, wire);
    return wire;
}

QByteArray TRfc2217Protocol::Opening() const
{
    return Do(TCommand::SetLineStateMask, 0) + Do(TCommand::SetModemStateMask, 0);
}

QByteArray TRfc2217Protocol::LineSettings(int baudRate) const
{
    return TTelnetCodec::SetBaudRate(std::uint32_t(baudRate)) +
           Do(TCommand::SetDataSize, DataBits8) + Do(TCommand::SetParity, ParityNone) +
           Do(TCommand::SetStopSize, OneStopBit) + Do(TCommand::SetControl, NoFlowControl);
}

QByteArray TRfc2217Protocol::PurgeBoth() const
{
    return Do(TCommand::PurgeData, PurgeBothQueues);
}

QByteArray TRfc2217Protocol::OpenControlLines() const
{
    // Servers need not confirm these (one on a pseudo-terminal does not): nothing waits for it.
    return Do(TCommand::SetControl, DtrOff) + Do(TCommand::SetControl, RtsOn);
}
