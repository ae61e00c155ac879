#include "line/network/TlsStream.h"

#include "line/network/NetConnect.h"
#include "line/network/TlsCheck.h"
#include "platform/Deadline.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace
{

using namespace std::chrono_literals;

// The most data one record carries: a send encrypts this much at a time.
constexpr qsizetype RecordData = 16384;
// How long a server that asked for a client certificate and got none is given to end the
// connection before the line counts as accepted.
constexpr auto demandWait = 1000ms;

std::chrono::milliseconds Left(const TDeadline &deadline)
{
    return std::chrono::milliseconds(deadline.RemainingMs());
}

} // namespace

TTlsStream::TTlsStream(QString where, std::unique_ptr<TByteStream> transport,
                       std::unique_ptr<TTlsCheck> check)
    : FWhere(std::move(where)), FTransport(std::move(transport)), FCheck(std::move(check))
{
}

TTlsStream::~TTlsStream()
{
    SSL_free(FConnection);
}

TResultOf<std::unique_ptr<TByteStream>>
TTlsStream::Secure(const QString &where, const TTlsOptions &options, const TNetAddress &address,
                   std::unique_ptr<TByteStream> transport, const TDeadline &deadline)
{
    TResultOf<std::unique_ptr<TTlsCheck>> check = TTlsCheck::Make(where, options, address);
    if (!check)
        return check.Result();
    std::unique_ptr<TTlsStream> stream(
        new TTlsStream(where, std::move(transport), std::move(check.Value())));
    if (TResult agreed = stream->Handshake(deadline); !agreed)
        return agreed;
    return std::unique_ptr<TByteStream>(std::move(stream));
}

BIO *TTlsStream::NewTransport(TTlsStream *stream)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lindqvar byte stream");
        if (m != nullptr) {
            BIO_meth_set_read_ex(m, TransportRead);
            BIO_meth_set_write_ex(m, TransportWrite);
            BIO_meth_set_ctrl(m, TransportControl);
        }
        return m;
    }();
    BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio != nullptr) {
        BIO_set_data(bio, stream);
        BIO_set_init(bio, 1);
    }
    return bio;
}

int TTlsStream::TransportRead(BIO *bio, char *buffer, size_t size, size_t *read)
{
    auto *self = static_cast<TTlsStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    *read = 0;
    const qsizetype n =
        self->FTransport->Receive(buffer, qsizetype(std::min<size_t>(size, INT_MAX)));
    if (n > 0) {
        self->FCheck->HeardServer();
        *read = size_t(n);
        return 1;
    }
    // Nothing yet: try again later. A lost transport is the end of the stream.
    if (!self->FTransport->Lost())
        BIO_set_retry_read(bio);
    return 0;
}

int TTlsStream::TransportWrite(BIO *bio, const char *bytes, size_t size, size_t *written)
{
    // Records are kept here and sent by SendRecords, which keeps to the caller's wait.
    auto *self = static_cast<TTlsStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    self->FRecords.append(bytes, qsizetype(size));
    *written = size;
    return 1;
}

long TTlsStream::TransportControl(BIO *bio, int command, long, void *)
{
    const auto *self = static_cast<const TTlsStream *>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return self->FTransport->Lost() ? 1 : 0;
    default:
        return 0;
    }
}

bool TTlsStream::SendRecords(std::chrono::milliseconds stall)
{
    if (!FRecords.isEmpty() && !FTransport->Lost())
        FRecords.remove(0, FTransport->Send(FRecords.constData(), FRecords.size(), stall));
    if (FTransport->Lost())
        SetLost(FTransport->Failure());
    return FRecords.isEmpty();
}

TResult TTlsStream::Handshake(const TDeadline &deadline)
{
    FConnection = FCheck->NewConnection();
    BIO *bio = FConnection != nullptr ? NewTransport(this) : nullptr;
    if (bio == nullptr)
        return TResult::Failure(
            TFault::Other, QStringLiteral("%1: TLS не запущен: недостаточно памяти").arg(FWhere));
    SSL_set_bio(FConnection, bio, bio);
    SSL_set_connect_state(FConnection);
    const int limit = int(NetConnect::AttemptLimit.count());
    for (;;) {
        ERR_clear_error();
        const int done = SSL_do_handshake(FConnection);
        const int code = done == 1 ? SSL_ERROR_NONE : SSL_get_error(FConnection, done);
        const unsigned long error = ERR_peek_error();
        // What the handshake made goes out, alerts included.
        SendRecords(Left(deadline));
        if (done == 1)
            break;
        if (code != SSL_ERROR_WANT_READ || FTransport->Lost())
            return FCheck->Refusal(error, *FTransport, true);
        if (!FTransport->WaitReadable(deadline) || deadline.Expired())
            return FCheck->TimedOut(limit);
    }
    if (!SendRecords(Left(deadline)))
        return FTransport->Lost() ? FCheck->Refusal(0, *FTransport, true) : FCheck->TimedOut(limit);
    if (FCheck->CertificateMissing())
        if (TResult goesOn = ServerAcceptsNoCertificate(deadline); !goesOn)
            return goesOn;
    FNotes = FCheck->Notes(FConnection);
    return TResult::Success();
}

TResult TTlsStream::ServerAcceptsNoCertificate(const TDeadline &deadline)
{
    const TDeadline moment(std::min<std::chrono::milliseconds>(Left(deadline), demandWait));
    while (FTransport->WaitReadable(moment) && !moment.Expired()) {
        char byte = 0;
        size_t peeked = 0;
        ERR_clear_error();
        const int done = SSL_peek_ex(FConnection, &byte, 1, &peeked);
        if (done == 1)
            return TResult::Success();
        const int code = SSL_get_error(FConnection, done);
        const unsigned long error = ERR_peek_error();
        SendRecords(Left(moment));
        if (code != SSL_ERROR_WANT_READ || FTransport->Lost())
            return FCheck->Refusal(error, *FTransport, true);
    }
    return TResult::Success();
}

bool TTlsStream::HasBuffered() const
{
    return SSL_pending(FConnection) > 0 || FTransport->HasBuffered();
}

qsizetype TTlsStream::Receive(char *buffer, qsizetype size)
{
    if (Lost() || size <= 0)
        return 0;
    // Every whole record that has arrived, up to size bytes of data.
    qsizetype got = 0;
    while (got < size) {
        size_t n = 0;
        ERR_clear_error();
        const int done = SSL_read_ex(FConnection, buffer + got, size_t(size - got), &n);
        if (done == 1) {
            got += qsizetype(n);
            continue;
        }
        const int code = SSL_get_error(FConnection, done);
        if (code == SSL_ERROR_ZERO_RETURN)
            SetLost(TResult::Failure(TFault::Lost,
                                     QStringLiteral("%1: сервер закрыл соединение").arg(FWhere)));
        else if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE)
            SetLost(FCheck->Refusal(ERR_peek_error(), *FTransport, false));
        break;
    }
    // Answers the library owes the server (after a key update) go out without waiting.
    SendRecords(0ms);
    return got;
}

qsizetype TTlsStream::Send(const char *bytes, qsizetype size, std::chrono::milliseconds stall)
{
    // Data counts as sent once it is encrypted; it is encrypted only while the records made
    // before have all been taken, so that the transport's back-pressure reaches the caller.
    qsizetype sent = 0;
    while (!Lost() && SendRecords(stall) && sent < size) {
        size_t n = 0;
        ERR_clear_error();
        if (SSL_write_ex(FConnection, bytes + sent, size_t(std::min(size - sent, RecordData)),
                         &n) != 1) {
            SetLost(FCheck->Refusal(ERR_peek_error(), *FTransport, false));
            break;
        }
        sent += qsizetype(n);
    }
    return sent;
}

void TTlsStream::Close(std::chrono::milliseconds drain)
{
    // The server hears that the stream ends here (close_notify) rather than being cut.
    if (!Lost() && SendRecords(drain)) {
        ERR_clear_error();
        SSL_shutdown(FConnection);
        SendRecords(drain);
    }
    FTransport->Close(drain);
}
