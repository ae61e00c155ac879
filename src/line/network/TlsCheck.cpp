#include "line/network/TlsCheck.h"

#include "line/network/ByteStream.h"

#include <QFile>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdlib>

namespace
{

struct TFreeBio {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using TBio = std::unique_ptr<BIO, TFreeBio>;

// The TLS library's text for an error code.
QString ErrorText(unsigned long error)
{
    const char *reason = ERR_reason_error_string(error);
    return reason != nullptr ? QString::fromUtf8(reason)
                             : QStringLiteral("код %1").arg(error, 0, 16);
}

// A file read whole. The library's own readers would leave the descriptor inheritable by a
// program started meanwhile; QFile opens it close-on-exec.
TResultOf<QByteArray> ReadWhole(const QString &where, const QString &what, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        const TFault fault = file.error() == QFileDevice::OpenError && !file.exists()
                                 ? TFault::NotFound
                                 : TFault::Permission;
        return TResult::Failure(
            fault,
            QStringLiteral("%1: %2 %3 не прочитан: %4").arg(where, what, path, file.errorString()));
    }
    return file.readAll();
}

TBio MemoryOf(const QByteArray &bytes)
{
    return TBio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}

// Adds every certificate in the PEM text to the store; how many.
int AddCertificates(X509_STORE *store, const QByteArray &pem)
{
    const TBio bio = MemoryOf(pem);
    int added = 0;
    while (X509 *certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store, certificate) == 1)
            ++added;
        X509_free(certificate);
    }
    ERR_clear_error(); // the end of the text reads as an error
    return added;
}

// The system's store of trusted certificates: the bundle the library would read, where the
// environment (SSL_CERT_FILE) or the system puts it.
QString SystemBundle()
{
    const char *fromEnvironment = std::getenv(X509_get_default_cert_file_env());
    return QFile::decodeName(fromEnvironment != nullptr ? fromEnvironment
                                                        : X509_get_default_cert_file());
}

QString TimeText(const ASN1_TIME *time)
{
    tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return QStringLiteral("?");
    return QString::asprintf("%04d-%02d-%02d %02d:%02d UTC", parts.tm_year + 1900, parts.tm_mon + 1,
                             parts.tm_mday, parts.tm_hour, parts.tm_min);
}

bool IsUntrusted(int error)
{
    switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return true;
    default:
        return false;
    }
}

} // namespace

TTlsCheck::TTlsCheck(QString where, TTlsOptions options, QString name)
    : FWhere(std::move(where)), FOptions(std::move(options)), FName(std::move(name))
{
}

TTlsCheck::~TTlsCheck()
{
    SSL_CTX_free(FContext);
}

TResult TTlsCheck::Failure(TFault fault, const QString &why) const
{
    return TResult::Failure(fault, QStringLiteral("%1: %2").arg(FWhere, why));
}

TResultOf<std::unique_ptr<TTlsCheck>>
TTlsCheck::Make(const QString &where, const TTlsOptions &options, const TNetAddress &address)
{
    std::unique_ptr<TTlsCheck> check(
        new TTlsCheck(where, options, options.Name.isEmpty() ? address.Host : options.Name));
    ERR_clear_error();
    check->FContext = SSL_CTX_new(TLS_client_method());
    SSL_CTX *context = check->FContext;
    if (context == nullptr)
        return check->Failure(TFault::Other, ErrorText(ERR_get_error()));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, Verified);

    // The trusted certificates: those named, each trusted as it stands (a server's own
    // self-signed certificate, or one of a chain), or the system's store, which may be empty
    // (nothing is trusted then, and the reason says how to trust a server).
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    if (options.Ca.isEmpty()) {
        if (QFile bundle(SystemBundle()); bundle.open(QIODevice::ReadOnly))
            AddCertificates(store, bundle.readAll());
    } else {
        const TResultOf<QByteArray> pem =
            ReadWhole(where, QStringLiteral("файл доверенных сертификатов"), options.Ca);
        if (!pem)
            return pem.Result();
        if (AddCertificates(store, pem.Value()) == 0)
            return check->Failure(
                TFault::Invalid,
                QStringLiteral("в файле %1 нет сертификатов в формате PEM").arg(options.Ca));
        X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(context), X509_V_FLAG_PARTIAL_CHAIN);
    }

    if (!options.Cert.isEmpty()) {
        const TResultOf<QByteArray> certificates =
            ReadWhole(where, QStringLiteral("файл сертификата клиента"), options.Cert);
        if (!certificates)
            return certificates.Result();
        const TResultOf<QByteArray> key =
            ReadWhole(where, QStringLiteral("файл ключа клиента"), options.Key);
        if (!key)
            return key.Result();
        // The client's certificate first, then the chain that leads to its issuer.
        const TBio chain = MemoryOf(certificates.Value());
        X509 *own = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr);
        const bool used = own != nullptr && SSL_CTX_use_certificate(context, own) == 1;
        X509_free(own);
        if (!used)
            return check->Failure(
                TFault::Invalid,
                QStringLiteral("в файле %1 нет сертификата в формате PEM").arg(options.Cert));
        while (X509 *link = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr)) {
            if (SSL_CTX_add0_chain_cert(context, link) != 1)
                X509_free(link);
        }
        ERR_clear_error();
        const TBio keyText = MemoryOf(key.Value());
        EVP_PKEY *privateKey = PEM_read_bio_PrivateKey(keyText.get(), nullptr, nullptr, nullptr);
        if (privateKey == nullptr)
            return check->Failure(
                TFault::Invalid,
                QStringLiteral("в файле %1 нет ключа в формате PEM без пароля").arg(options.Key));
        const bool matches = SSL_CTX_use_PrivateKey(context, privateKey) == 1 &&
                             SSL_CTX_check_private_key(context) == 1;
        EVP_PKEY_free(privateKey);
        if (!matches)
            return check->Failure(TFault::Invalid,
                                  QStringLiteral("ключ %1 не подходит к сертификату %2")
                                      .arg(options.Key, options.Cert));
        // As ssh warns of its keys: a key others can read is no longer secret.
        struct stat st = {};
        if (::stat(QFile::encodeName(options.Key).constData(), &st) == 0 &&
            (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
            check->FWarnings << QStringLiteral(
                                    "внимание: файл ключа %1 доступен другим "
                                    "пользователям (права %2); закройте его: chmod 600 %1")
                                    .arg(options.Key)
                                    .arg(st.st_mode & 0777, 3, 8, QChar(u'0'));
    }
    return check;
}

SSL *TTlsCheck::NewConnection()
{
    SSL *connection = SSL_new(FContext);
    if (connection == nullptr)
        return nullptr;
    SSL_set_app_data(connection, this);
    SSL_set_msg_callback(connection, Heard);
    SSL_set_msg_callback_arg(connection, this);
    // The name the certificate must carry: an address literal as an address, else a host name
    // (which the server also hears, for servers with several certificates).
    X509_VERIFY_PARAM *param = SSL_get0_param(connection);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const QByteArray name = FName.toLatin1();
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) != 1) {
        if (SSL_set1_host(connection, name.constData()) != 1 ||
            SSL_ctrl(connection, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char *>(name.constData())) != 1) {
            SSL_free(connection);
            connection = nullptr;
        }
    }
    ERR_clear_error();
    return connection;
}

int TTlsCheck::Verified(int ok, X509_STORE_CTX *store)
{
    const auto *connection = static_cast<const SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *check = static_cast<TTlsCheck *>(SSL_get_app_data(connection));
    // The first fault found decides the reason; the certificate shown is the server's own.
    if (ok != 1 && check != nullptr && check->FVerifyError == 0) {
        check->FVerifyError = X509_STORE_CTX_get_error(store);
        check->FRefused = Describe(X509_STORE_CTX_get0_cert(store));
    }
    return ok;
}

void TTlsCheck::Heard(int writing, int, int contentType, const void *bytes, size_t size, SSL *,
                      void *check)
{
    if (writing == 0 && contentType == SSL3_RT_HANDSHAKE && size > 0 &&
        *static_cast<const unsigned char *>(bytes) == SSL3_MT_CERTIFICATE_REQUEST)
        static_cast<TTlsCheck *>(check)->FCertificateRequested = true;
}

TTlsCheck::TCertificateText TTlsCheck::Describe(X509 *certificate)
{
    TCertificateText text;
    if (certificate == nullptr)
        return text;
    const TBio subject(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(subject.get(), X509_get_subject_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *printed = nullptr;
    const long size = BIO_get_mem_data(subject.get(), &printed);
    text.Subject = QString::fromUtf8(printed, size);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &digestSize) == 1)
        text.Fingerprint =
            QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(digestSize))
                                    .toHex(':')
                                    .toUpper());

    QStringList names;
    auto *alternatives = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) {
            names << QString::fromLatin1(
                reinterpret_cast<const char *>(ASN1_STRING_get0_data(name->d.dNSName)),
                ASN1_STRING_length(name->d.dNSName));
        } else if (name->type == GEN_IPADD) {
            const int length = ASN1_STRING_length(name->d.iPAddress);
            char address[INET6_ADDRSTRLEN] = {};
            if ((length == 4 || length == 16) &&
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6,
                            ASN1_STRING_get0_data(name->d.iPAddress), address, sizeof address))
                names << QString::fromLatin1(address);
        }
    }
    GENERAL_NAMES_free(alternatives);
    text.Names = names.isEmpty() ? text.Subject : names.join(QStringLiteral(", "));
    text.NotBefore = TimeText(X509_get0_notBefore(certificate));
    text.NotAfter = TimeText(X509_get0_notAfter(certificate));
    return text;
}

TResult TTlsCheck::CertificateRefusal() const
{
    const TCertificateText &c = FRefused;
    if (IsUntrusted(FVerifyError))
        return Failure(
            TFault::Refused,
            QStringLiteral("сертификат сервера не заверен доверенным центром: %1, отпечаток "
                           "SHA-256 %2. Если это сертификат вашего сервера (сверьте отпечаток), "
                           "укажите его файл в ca=")
                .arg(c.Subject, c.Fingerprint));
    switch (FVerifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return Failure(TFault::Refused,
                       QStringLiteral("сертификат сервера выдан не на %1, а на %2. Укажите имя "
                                      "из сертификата в name= или подключайтесь по нему")
                           .arg(FName, c.Names));
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return Failure(TFault::Refused,
                       QStringLiteral("срок действия сертификата сервера (%1) истёк %2")
                           .arg(c.Subject, c.NotAfter));
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return Failure(TFault::Refused,
                       QStringLiteral("сертификат сервера (%1) действует только с %2; проверьте "
                                      "часы этого компьютера")
                           .arg(c.Subject, c.NotBefore));
    default:
        return Failure(
            TFault::Refused,
            QStringLiteral("сертификат сервера (%1) отклонён: %2")
                .arg(c.Subject, QString::fromUtf8(X509_verify_cert_error_string(FVerifyError))));
    }
}

TResult TTlsCheck::Refusal(unsigned long error, const TByteStream &transport,
                           bool handshaking) const
{
    if (FVerifyError != 0)
        return CertificateRefusal();
    const int reason = ERR_GET_LIB(error) == ERR_LIB_SSL ? ERR_GET_REASON(error) : 0;
    const TResult clientCertificateDemanded = Failure(
        TFault::Refused,
        QStringLiteral("сервер требует сертификат клиента: укажите его файлы в cert= и key="));
    if (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)
        return clientCertificateDemanded;
    // A server that asked for a certificate and got none may end the connection without a word.
    if (CertificateMissing() && (transport.Lost() || reason != 0))
        return clientCertificateDemanded;
    if (FCertificateRequested) {
        switch (reason) {
        case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
        case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
        case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
            return Failure(TFault::Refused,
                           QStringLiteral("сервер не принял сертификат клиента %1 (%2)")
                               .arg(FOptions.Cert, ErrorText(error)));
        default:
            break;
        }
    }
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
        return Failure(TFault::Unsupported,
                       QStringLiteral("на том конце нет TLS: сервер ответил не по TLS"));
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        return Failure(TFault::Unsupported,
                       QStringLiteral("сервер не поддерживает TLS 1.2 или новее"));
    default:
        break;
    }
    if (transport.Lost() || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        if (!handshaking && !transport.Failure().Ok())
            return transport.Failure();
        return Failure(TFault::Lost,
                       handshaking
                           ? (FServerSpoke ? QStringLiteral("сервер закрыл соединение во время "
                                                            "согласования TLS")
                                           : QStringLiteral("сервер закрыл соединение, не начав "
                                                            "TLS: видимо, на том конце нет TLS"))
                           : QStringLiteral("сервер закрыл соединение"));
    }
    return Failure(TFault::Other, QStringLiteral("ошибка TLS: %1").arg(ErrorText(error)));
}

TResult TTlsCheck::TimedOut(int seconds) const
{
    return Failure(TFault::TimedOut,
                   FServerSpoke
                       ? QStringLiteral("согласование TLS не завершилось за %1 с").arg(seconds)
                       : QStringLiteral("на том конце нет TLS: сервер не ответил на начало TLS "
                                        "за %1 с")
                             .arg(seconds));
}

QStringList TTlsCheck::Notes(const SSL *connection) const
{
    const TCertificateText server = Describe(SSL_get0_peer_certificate(connection));
    QStringList notes{QStringLiteral("соединение защищено: %1, %2; сертификат сервера %3 проверен")
                          .arg(QString::fromLatin1(SSL_get_version(connection)),
                               QString::fromLatin1(SSL_get_cipher_name(connection)),
                               server.Subject)};
    return notes + FWarnings;
}
