#include "line/network/NetLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{

using namespace std::chrono_literals;

// How long an open waits for its connection attempt before it says "not yet": well within a
// relay pass, so that the window thread never waits for the network.
constexpr auto openPatience = 25ms;
// As for a device file: how long a close lets sent data be acknowledged, and how long a write
// waits for room in a connection that takes nothing.
constexpr auto drainLimit = 200ms;
constexpr auto writeStallLimit = 2000ms;
// The most a discard takes from the stream in one read.
constexpr int ReceiveChunk = 4096;

} // namespace

TResultOf<std::unique_ptr<TSerialLine>> TNetLine::Open(const TLineKind &kind, const QString &path,
                                                       const NetConnect::TTarget &target)
{
    TResultOf<NetConnect::TConnection> connection = NetConnect::Take(path, target, openPatience);
    if (!connection)
        return connection.Result();
    return std::unique_ptr<TSerialLine>(new TNetLine(path, kind, std::move(connection.Value())));
}

std::unique_ptr<TSerialLine> TNetLine::Over(const TLineKind &kind, const QString &path,
                                            NetConnect::TConnection connection)
{
    return std::unique_ptr<TSerialLine>(new TNetLine(path, kind, std::move(connection)));
}

TNetLine::TNetLine(const QString &path, const TLineKind &kind, NetConnect::TConnection connection)
    : TSerialLine(path, kind), FStream(std::move(connection.Stream)),
      FProtocol(std::move(connection.Protocol)), FIn(std::move(connection.Data))
{
    (void)Command(FProtocol->Opening());
}

TNetLine::~TNetLine()
{
    if (!FClosed)
        (void)Close();
}

TResult TNetLine::LostResult() const
{
    return FStream->Failure().Ok() ? TResult::Failure(TFault::Lost, Path()) : FStream->Failure();
}

TResult TNetLine::SetParams(int baudRate)
{
    if (baudRate <= 0)
        return TResult::Failure(TFault::Invalid, ErrnoText(EINVAL));
    return Command(FProtocol->LineSettings(baudRate));
}

TResult TNetLine::Purge()
{
    DiscardInput();
    return Command(FProtocol->PurgeBoth());
}

void TNetLine::SetOpenControlLines()
{
    (void)Command(FProtocol->OpenControlLines());
}

void TNetLine::DiscardInput()
{
    // What the stream holds now is decoded too (the negotiation must go on) and dropped. A line
    // that keeps sending does not hold the caller beyond a bounded number of reads.
    FIn.clear();
    for (int round = 0; round < 16 && Receive(ReceiveChunk) > 0; ++round)
        FIn.clear();
}

TResultOf<int> TNetLine::Read(char *buffer, int size)
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

qsizetype TNetLine::Receive(int limit)
{
    QByteArray raw(std::max(limit, 1), Qt::Uninitialized);
    const qsizetype n = FStream->Receive(raw.data(), raw.size());
    if (n <= 0)
        return 0;
    QByteArray replies;
    FProtocol->Decode(raw.constData(), n, FIn, replies);
    if (!replies.isEmpty()) {
        FOut += replies;
        FlushPending();
    }
    return n;
}

bool TNetLine::FlushPending()
{
    if (!FOut.isEmpty() && !FStream->Lost())
        FOut.remove(0, FStream->Send(FOut.constData(), FOut.size(), 0ms));
    return FOut.isEmpty();
}

TResult TNetLine::Command(const QByteArray &command)
{
    // A protocol without commands leaves the settings to the server: nothing to send, nothing
    // that can fail here (a lost connection shows at the next read or write).
    if (command.isEmpty())
        return TResult::Success();
    FOut += command;
    FlushPending();
    return FStream->Lost() ? LostResult() : TResult::Success();
}

TResultOf<int> TNetLine::Write(const char *data, int count)
{
    if (FStream->Lost())
        return LostResult();
    // What is owed from before goes first, within the same stall limit as the data.
    FOut.remove(0, FStream->Send(FOut.constData(), FOut.size(), writeStallLimit));
    if (!FOut.isEmpty())
        return FStream->Lost() ? TResultOf<int>(LostResult()) : TResultOf<int>(0);

    const QByteArray wire = FProtocol->Encode(data, count);
    const qsizetype sent = FStream->Send(wire.constData(), wire.size(), writeStallLimit);

    // The data bytes that went out whole; a byte of which one half of its wire form went out
    // counts as taken, and its other half is owed before anything else.
    int taken = 0;
    qsizetype at = 0;
    while (taken < count && at < sent) {
        const int width = FProtocol->WireWidth(data[taken]);
        if (at + width > sent)
            FOut.append(wire.mid(sent, at + width - sent));
        at += width;
        ++taken;
    }
    if (taken == 0 && FStream->Lost())
        return LostResult();
    return taken;
}

TResult TNetLine::Close()
{
    if (FClosed)
        return TResult::Failure(TFault::Invalid, ErrnoText(EBADF));
    FlushPending();
    FStream->Close(drainLimit);
    FClosed = true;
    return TResult::Success();
}
