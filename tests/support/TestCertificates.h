#pragma once

#include <QString>
#include <QTemporaryDir>

// Certificates for lines over TLS, made by openssl's command line in a folder of the test's own:
// a small CA; server certificates for 127.0.0.1 from it (a good one, one for another name, an
// expired one); a self-signed server certificate no one trusts; a client certificate from the
// CA. Keys are readable by their owner only, as a user keeps them.
class TTestCertificates
{
public:
    // The certificates by their name: "ca", "server", "wrong-name", "expired", "stranger",
    // "client"; each has <name>.pem and (but the CA's) <name>.key.
    [[nodiscard]] bool Make();

    QString Pem(const QString &name) const;
    QString Key(const QString &name) const;
    // Makes ser2net's folder of users (authdir) under which the "client" certificate is let in:
    // the CA in client/allowed_certs/, under the name the library looks it up by.
    [[nodiscard]] bool AllowClient(const QString &authDir) const;
    // The SHA-256 fingerprint of a certificate as openssl prints it ("AB:CD:...").
    QString Fingerprint(const QString &name) const;

private:
    // Runs openssl with the arguments in the folder: its exit code, -1 when it did not run.
    int Run(const QStringList &arguments, QByteArray *out = nullptr) const;
    // Runs openssl; false, with its words on stderr, when it fails.
    [[nodiscard]] bool OpenSsl(const QStringList &arguments, QByteArray *out = nullptr) const;
    // A key and a certificate for the names signed by the CA, valid for 30 days from now, or
    // expired: valid in January 2020 only.
    [[nodiscard]] bool Issue(const QString &name, const QString &altNames, bool expired = false);

    QTemporaryDir FDir;
};
