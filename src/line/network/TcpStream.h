#pragma once

#include "line/network/ByteStream.h"
#include "line/network/NetAddress.h"

#include <QString>

#include <memory>

struct addrinfo;

// A TCP connection to a device server or router, non-blocking, with keepalive: a connection that
// is reset, ended by the server or silent for about 10 s is lost, as a pulled cable is.
class TTcpStream : public TByteStream
{
public:
    // The addresses a name resolves to, freed with the list.
    struct TFreeAddresses {
        void operator()(addrinfo *addresses) const;
    };
    using TAddresses = std::unique_ptr<addrinfo, TFreeAddresses>;
    // Resolves the address's host; where names the line in the reasons. May take long: the
    // system's resolver keeps no deadline of ours.
    static TResultOf<TAddresses> Resolve(const QString &where, const TNetAddress &address);
    // Connects to the first of the addresses that accepts before the deadline.
    static TResultOf<std::unique_ptr<TByteStream>>
    Connect(const QString &where, const TAddresses &addresses, const TDeadline &deadline);

    // Keepalive and no delay on a connected socket: a lost connection is noticed within about
    // 10 s even when nothing is being sent, and small requests go out at once.
    static void KeepAlive(int fd);

    ~TTcpStream() override;

    int Descriptor() const override { return FFd; }
    qsizetype Receive(char *buffer, qsizetype size) override;
    qsizetype Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall) override;
    void Close(std::chrono::milliseconds drain) override;

protected:
    // Takes the connected socket; where names the line in the reasons.
    TTcpStream(QString where, int fd) : FWhere(std::move(where)), FFd(fd) {}
    // Gives sent bytes at most drain to be acknowledged.
    void Drain(std::chrono::milliseconds drain) const;
    // Hands the socket over: the stream no longer has it.
    int Release();

private:
    // Marks the connection lost by a failed call's error number.
    void LostBy(int error);

    QString FWhere;
    int FFd;
};
