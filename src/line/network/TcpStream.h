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

    ~TTcpStream() override;

    int Descriptor() const override { return FFd; }
    qsizetype Receive(char *buffer, qsizetype size) override;
    qsizetype Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall) override;
    void Close(std::chrono::milliseconds drain) override;

private:
    TTcpStream(QString where, int fd) : FWhere(std::move(where)), FFd(fd) {}
    // Marks the connection lost by a failed call's error number.
    void LostBy(int error);

    QString FWhere;
    int FFd;
};
