#pragma once

#include "line/network/NetAddress.h"
#include "line/network/TlsOptions.h"
#include "platform/SystemError.h"

#include <QString>
#include <QStringList>

#include <memory>

class TByteStream;
struct ssl_st;
struct ssl_ctx_st;
struct x509_st;
struct x509_store_ctx_st;

// What a connection over TLS trusts and checks, and what it saw of the server: TLS 1.2 or newer;
// the server's chain checked against the trusted certificates (ca= or the system's store); the
// name (host name or IP address) checked; certificates out of their validity refused. There is
// no way to skip a check. When a handshake or a connection fails, the check words the reason the
// user can act on: not trusted (with the certificate's subject and SHA-256 fingerprint, to trust
// it with ca=), the wrong name, expired, a client certificate demanded, no TLS at the other end.
class TTlsCheck
{
public:
    // The checks for a connection to the address under the options; why not when a named file
    // cannot be read or is not what it should be. where names the line in the reasons.
    static TResultOf<std::unique_ptr<TTlsCheck>>
    Make(const QString &where, const TTlsOptions &options, const TNetAddress &address);
    ~TTlsCheck();
    TTlsCheck(const TTlsCheck &) = delete;
    TTlsCheck &operator=(const TTlsCheck &) = delete;

    // A new client connection's state with the checks installed; null when it cannot be made.
    // It records into this check, which must outlive it.
    ssl_st *NewConnection();

    // Bytes have arrived from the server.
    void HeardServer() { FServerSpoke = true; }
    // Whether the server asked for a client certificate that this line does not have: a server
    // that demands one ends the connection right after a TLS 1.3 handshake instead of failing it.
    bool CertificateMissing() const { return FCertificateRequested && FOptions.Cert.isEmpty(); }

    // Why the handshake (handshaking) or the connection after it failed: error is the TLS
    // library's first error code (0: none), transport the connection under TLS.
    TResult Refusal(unsigned long error, const TByteStream &transport, bool handshaking) const;
    // Why a handshake did not end before its deadline.
    TResult TimedOut(int seconds) const;
    // What the log says of a connection made: the protocol, the cipher and the server's
    // certificate, and a key file that others can read.
    QStringList Notes(const ssl_st *connection) const;

private:
    TTlsCheck(QString where, TTlsOptions options, QString name);

    // The verification's callback and the handshake messages' callback.
    static int Verified(int ok, x509_store_ctx_st *store);
    static void Heard(int writing, int version, int contentType, const void *bytes, size_t size,
                      ssl_st *connection, void *check);

    TResult Failure(TFault fault, const QString &why) const;
    // Why the server's certificate was refused.
    TResult CertificateRefusal() const;

    QString FWhere;
    TTlsOptions FOptions;
    // The name the server's certificate must carry.
    QString FName;
    ssl_ctx_st *FContext = nullptr;
    QStringList FWarnings;

    // What the handshake saw.
    int FVerifyError = 0;
    struct TCertificateText {
        QString Subject;
        QString Names;
        QString Fingerprint;
        QString NotBefore;
        QString NotAfter;
    };
    static TCertificateText Describe(x509_st *certificate);
    TCertificateText FRefused;
    bool FServerSpoke = false;
    bool FCertificateRequested = false;
};
