#pragma once

#include "line/callin/CallInListener.h"
#include "line/network/TcpStream.h"

// The connection of a device that called in, taken by a link. At its close it goes back to the
// listener, where the device waits for the next link while it stays connected.
class TCalledInStream final : public TTcpStream
{
public:
    TCalledInStream(const QString &path, const TCallInListener::TCall &call)
        : TTcpStream(path, call.Fd), FPath(path), FNumber(call.Number)
    {
    }
    ~TCalledInStream() override { Close(std::chrono::milliseconds(0)); }

    void Close(std::chrono::milliseconds drain) override;

private:
    QString FPath;
    std::uint64_t FNumber;
};
