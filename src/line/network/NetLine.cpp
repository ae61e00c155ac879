#include "line/network/NetLine.h"

#include "line/network/NetConnect.h"
#include "platform/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// How long an open waits for its connection attempt before it says "not yet": well within a
// relay pass, so that the window thread never waits for the network.
constexpr auto openPatience = 25ms;
// As for a device file: how long a close lets sent data be acknowledged, and how long a write
// waits for room in a socket that takes nothing.
constexpr auto drainLimit = 200ms;
constexpr auto writeStallLimit = 2000ms;
// The most a discard takes from the socket in one read.
constexpr int ReceiveChunk = 4096;

// RFC 2217 commands and values.
using TCommand = TTelnetCodec::TComPortCommand;
constexpr std::uint8_t DataBits8 = 8;
constexpr std::uint8_t ParityNone = 1;
constexpr std::uint8_t OneStopBit = 1;
constexpr std::uint8_t NoFlowControl = 1;
constexpr std::uint8_t DtrOff = 9;
constexpr std::uint8_t RtsOn = 11;
constexpr std::uint8_t PurgeBoth = 3;

QByteArray Do(TCommand command, std::uint8_t value)
{
    return TTelnetCodec::ComPortCommand(command, value);
}

bool Lost(int error)
{
    return error != EAGAIN && error != EINTR;
}

} // namespace

TResult TNetLine::Open(const QString &path, const TNetAddress &address,
                       std::unique_ptr<TSerialLine> &line)
{
    NetConnect::TConnection connection;
    TResult result = NetConnect::Take(path, address, openPatience, connection);
    if (!result)
        return result;
    line.reset(new TNetLine(path, address.Kind == TNetAddress::TKind::Rfc2217, connection.Fd,
                            connection.Codec, connection.Data));
    return result;
}

bool TNetLine::Opening(const QString &path)
{
    return NetConnect::Pending(path);
}

TNetLine::TNetLine(const QString &path, bool telnet, int fd, const TTelnetCodec &codec,
                   const QByteArray &data)
    : TSerialLine(path), FFd(fd), FTelnet(telnet), FCodec(codec), FIn(data)
{
    // The server tells nothing that the line needs: no line-state or modem-state notices.
    if (FTelnet)
        Command(Do(TCommand::SetLineStateMask, 0) + Do(TCommand::SetModemStateMask, 0));
}

TNetLine::~TNetLine()
{
    if (FFd >= 0)
        Close();
}

bool TNetLine::SetParams(int baudRate)
{
    if (baudRate <= 0) {
        errno = EINVAL;
        return false;
    }
    if (!FTelnet)
        return true; // the server's business
    return Command(TTelnetCodec::SetBaudRate(std::uint32_t(baudRate)) +
                   Do(TCommand::SetDataSize, DataBits8) + Do(TCommand::SetParity, ParityNone) +
                   Do(TCommand::SetStopSize, OneStopBit) + Do(TCommand::SetControl, NoFlowControl));
}

bool TNetLine::Purge()
{
    DiscardInput();
    return !FTelnet || Command(Do(TCommand::PurgeData, PurgeBoth));
}

void TNetLine::SetOpenControlLines()
{
    // Servers need not confirm these (one on a pseudo-terminal does not): nothing waits for it.
    if (FTelnet)
        Command(Do(TCommand::SetControl, DtrOff) + Do(TCommand::SetControl, RtsOn));
}

void TNetLine::DiscardInput()
{
    // What the socket holds now is decoded too (the negotiation must go on) and dropped. A line
    // that keeps sending does not hold the caller beyond a bounded number of reads.
    FIn.clear();
    for (int round = 0; round < 16 && Receive(ReceiveChunk) > 0; ++round)
        FIn.clear();
}

int TNetLine::Read(char *buffer, int size)
{
    if (size == 0)
        return 0;
    if (FIn.size() < size)
        Receive(size);
    const int count = int(std::min<qsizetype>(size, FIn.size()));
    std::memcpy(buffer, FIn.constData(), size_t(count));
    FIn.remove(0, count);
    return count;
}

int TNetLine::Receive(int limit)
{
    if (FLost)
        return 0;
    QByteArray raw(std::max(limit, 1), Qt::Uninitialized);
    const ssize_t n =
        RetryOnInterrupt([&] { return ::recv(FFd, raw.data(), size_t(raw.size()), MSG_DONTWAIT); });
    if (n == 0 || (n < 0 && Lost(errno))) {
        FLost = true;
        return 0;
    }
    if (n < 0)
        return 0;
    if (!FTelnet) {
        FIn.append(raw.constData(), n);
        return int(n);
    }
    QByteArray replies;
    FCodec.Decode(raw.constData(), n, FIn, replies);
    if (!replies.isEmpty()) {
        FOut += replies;
        FlushPending();
    }
    return int(n);
}

bool TNetLine::FlushPending()
{
    if (!FOut.isEmpty() && !FLost) {
        int error = 0;
        FOut.remove(0, NetConnect::Send(FFd, FOut.constData(), FOut.size(), 0ms, error));
        if (error != 0 && Lost(error))
            FLost = true;
    }
    return FOut.isEmpty();
}

bool TNetLine::Command(const QByteArray &command)
{
    FOut += command;
    FlushPending();
    return !FLost;
}

int TNetLine::Write(const char *data, int count)
{
    if (FLost)
        return -1;
    // What is owed from before goes first, within the same stall limit as the data.
    TDeadline stall(writeStallLimit);
    while (!FlushPending()) {
        if (FLost || WaitForDescriptor(FFd, POLLOUT, stall) <= 0)
            return FLost ? -1 : 0;
    }

    QByteArray wire;
    if (FTelnet)
        TTelnetCodec::EncodeData(data, count, wire);
    else
        wire = QByteArray::fromRawData(data, count);
    int error = 0;
    const qsizetype sent =
        NetConnect::Send(FFd, wire.constData(), wire.size(), writeStallLimit, error);
    if (error != 0 && Lost(error))
        FLost = true;

    // The data bytes that went out whole; an escaped 0xFF of which one half went out counts as
    // taken, and its other half is owed before anything else.
    int taken = 0;
    qsizetype at = 0;
    while (taken < count && at < sent) {
        const bool escaped = FTelnet && static_cast<unsigned char>(data[taken]) == 0xFF;
        const qsizetype width = escaped ? 2 : 1;
        if (at + width > sent)
            FOut.append(data[taken]);
        at += width;
        ++taken;
    }
    if (taken == 0 && FLost)
        return -1;
    return taken;
}

bool TNetLine::Close()
{
    // Sent data is given a short while to be acknowledged, as a device file's output to drain;
    // input still unread is taken first, because closing over it would reset the connection and
    // could lose what is still on its way out.
    const TDeadline drain(drainLimit);
    FlushPending();
    for (;;) {
        int unacknowledged = 0;
        if (FLost || ::ioctl(FFd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 0 ||
            drain.Expired())
            break;
        std::this_thread::sleep_for(5ms);
    }
    char discard[ReceiveChunk];
    while (RetryOnInterrupt([&] { return ::recv(FFd, discard, sizeof discard, MSG_DONTWAIT); }) >
           0) {
    }
    const bool closed = ::close(FFd) == 0 || errno != EBADF;
    FFd = -1;
    return closed;
}
