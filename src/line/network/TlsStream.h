#pragma once

#include "line/network/ByteStream.h"
#include "line/network/NetAddress.h"
#include "line/network/TlsOptions.h"

#include <QByteArray>
#include <QString>

#include <memory>

class TTlsCheck;
struct bio_st;
struct ssl_st;

// A byte stream over TLS, on another byte stream (a TCP connection): what the line's protocol
// sends is encrypted here and what arrives is decrypted, with the server's certificate checked
// (TlsCheck.h). Like the stream under it, receiving never waits and sending waits only while the
// other end takes nothing. Decrypted bytes not received yet are held here, where the descriptor
// no longer shows them (HasBuffered).
class TTlsStream final : public TByteStream
{
public:
    // Agrees TLS with the server over the transport, within the deadline: the stream, or why not
    // (a certificate refused, no TLS at the other end, no answer in time). where names the line
    // in the reasons.
    static TResultOf<std::unique_ptr<TByteStream>>
    Secure(const QString &where, const TTlsOptions &options, const TNetAddress &address,
           std::unique_ptr<TByteStream> transport, const TDeadline &deadline);
    ~TTlsStream() override;

    int Descriptor() const override { return FTransport->Descriptor(); }
    bool HasBuffered() const override;
    qsizetype Receive(char *buffer, qsizetype size) override;
    qsizetype Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall) override;
    void Close(std::chrono::milliseconds drain) override;
    QStringList Notes() const override { return FNotes; }

private:
    TTlsStream(QString where, std::unique_ptr<TByteStream> transport,
               std::unique_ptr<TTlsCheck> check);

    TResult Handshake(const TDeadline &deadline);
    // Whether a server that asked for a client certificate this line lacks still goes on: one
    // that demands it ends the connection right after the handshake, which is waited for a
    // moment.
    TResult ServerAcceptsNoCertificate(const TDeadline &deadline);
    // Sends the records waiting for the transport, waiting while it takes nothing for stall;
    // whether all went.
    bool SendRecords(std::chrono::milliseconds stall);

    // The library's transport: reads from the stream under it, writes into FRecords.
    static bio_st *NewTransport(TTlsStream *stream);
    static int TransportRead(bio_st *bio, char *buffer, size_t size, size_t *read);
    static int TransportWrite(bio_st *bio, const char *bytes, size_t size, size_t *written);
    static long TransportControl(bio_st *bio, int command, long number, void *pointer);

    QString FWhere;
    std::unique_ptr<TByteStream> FTransport;
    std::unique_ptr<TTlsCheck> FCheck;
    ssl_st *FConnection = nullptr;
    // Encrypted records made and not yet taken by the transport: at most what one send of
    // data makes, beyond what the transport would take.
    QByteArray FRecords;
    QStringList FNotes;
};
