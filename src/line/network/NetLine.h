#pragma once

#include "line/SerialLine.h"
#include "line/network/NetAddress.h"
#include "line/network/TelnetCodec.h"
#include "platform/SystemError.h"

#include <QByteArray>

#include <atomic>
#include <memory>

// A serial line behind a serial device server or a cellular router, over TCP: RFC 2217 (telnet
// with the COM port control option, which sets the speed, format and control lines at the
// server's end) or a raw byte stream. Reads and writes never wait for the network beyond the
// write stall limit a device file has too. A connection that is reset, ended by the server or
// silent for about 10 s (keepalive) makes the line lost, as a pulled cable is.
class TNetLine : public TSerialLine
{
public:
    // Continues the connection attempt for the path, or starts one, and waits at most a short
    // while (well within a relay pass) for it. While it is still under way the result is a
    // failure and Opening(path) is true; ask again later.
    static TResult Open(const QString &path, const TNetAddress &address,
                        std::unique_ptr<TSerialLine> &line);
    static bool Opening(const QString &path);

    ~TNetLine() override;

    int Descriptor() const override { return FFd; }
    bool Connected() const override { return !FLost; }
    bool SetsSpeed() const override { return FTelnet; }
    bool SetParams(int baudRate) override;
    bool Purge() override;
    void SetOpenControlLines() override;
    void DiscardInput() override;
    int Read(char *buffer, int size) override;
    int Write(const char *data, int count) override;
    bool Close() override;

private:
    TNetLine(const QString &path, bool telnet, int fd, const TTelnetCodec &codec,
             const QByteArray &data);

    // Takes what the socket holds now, at most limit bytes, into FIn (telnet decoded), answering
    // the server's negotiation; a closed or failed connection marks the line lost. The count of
    // bytes taken from the socket.
    int Receive(int limit);
    // Sends the telnet commands and a remainder of escaped data waiting in FOut, without waiting.
    bool FlushPending();
    // Queues a command for the server and sends what it can.
    bool Command(const QByteArray &command);

    int FFd;
    bool FTelnet;
    TTelnetCodec FCodec;
    // Data received and decoded but not read yet.
    QByteArray FIn;
    // Bytes owed to the server before any further data: answers to its negotiation, commands,
    // and the second half of an escaped 0xFF whose first half went out.
    QByteArray FOut;
    // Read by the window thread's presence test while the line's owner uses it.
    std::atomic<bool> FLost{false};
};
