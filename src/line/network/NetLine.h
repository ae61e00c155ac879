#pragma once

#include "line/SerialLine.h"
#include "line/network/ByteStream.h"
#include "line/network/LineProtocol.h"
#include "line/network/NetConnect.h"

#include <QByteArray>

#include <memory>

// A serial line behind a serial device server or a cellular router: a byte stream to it under
// the protocol its kind speaks (see LineKinds.h). Reads and writes never wait for the network
// beyond the write stall limit a device file has too. A connection that is reset, ended by the
// server or silent for about 10 s (keepalive) makes the line lost, as a pulled cable is.
class TNetLine : public TSerialLine
{
public:
    // Continues the connection attempt for the path (of the kind, to the address), or starts one,
    // and waits at most a short while (well within a relay pass) for it. While it is still under
    // way the failure is of the kind Pending; ask again later.
    static TResultOf<std::unique_ptr<TSerialLine>> Open(const TLineKind &kind, const QString &path,
                                                        const NetConnect::TTarget &target);

    // The line over a connection made some other way (a device that called in).
    static std::unique_ptr<TSerialLine> Over(const TLineKind &kind, const QString &path,
                                             NetConnect::TConnection connection);

    ~TNetLine() override;

    int Descriptor() const override { return FStream->Descriptor(); }
    bool Connected() const override { return !FStream->Lost(); }
    bool HasInput() const override { return !FIn.isEmpty() || FStream->HasBuffered(); }
    QStringList Notes() const override { return FStream->Notes(); }
    TResult SetParams(int baudRate) override;
    TResult Purge() override;
    void SetOpenControlLines() override;
    void DiscardInput() override;
    TResultOf<int> Read(char *buffer, int size) override;
    TResultOf<int> Write(const char *data, int count) override;
    TResult Close() override;

private:
    TNetLine(const QString &path, const TLineKind &kind, NetConnect::TConnection connection);

    // Takes what the stream holds now, at most limit bytes, into FIn (decoded), answering the
    // server; the count of bytes taken from the stream.
    qsizetype Receive(int limit);
    // Sends the commands and a remainder of data waiting in FOut, without waiting.
    bool FlushPending();
    // Queues commands for the server and sends what it can; a failure once the line is lost.
    TResult Command(const QByteArray &command);
    // Why the line is lost.
    TResult LostResult() const;

    std::unique_ptr<TByteStream> FStream;
    std::unique_ptr<TLineProtocol> FProtocol;
    // Data received and decoded but not read yet.
    QByteArray FIn;
    // Bytes owed to the server before any further data: answers to its negotiation, commands,
    // and the second half of a data byte whose first half went out.
    QByteArray FOut;
    bool FClosed = false;
};
