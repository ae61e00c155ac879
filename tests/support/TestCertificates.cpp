#include "support/TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>

int TTestCertificates::Run(const QStringList &arguments, QByteArray *out) const
{
    QProcess openssl;
    openssl.setWorkingDirectory(FDir.path());
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit) {
        qWarning("openssl did not run: %s", qPrintable(openssl.errorString()));
        return -1;
    }
    if (openssl.exitCode() != 0)
        qDebug("openssl %s: %s", qPrintable(arguments.join(u' ')),
               openssl.readAllStandardError().constData());
    if (out != nullptr)
        *out = openssl.readAllStandardOutput();
    return openssl.exitCode();
}

bool TTestCertificates::OpenSsl(const QStringList &arguments, QByteArray *out) const
{
    return Run(arguments, out) == 0;
}

QString TTestCertificates::Pem(const QString &name) const
{
    return FDir.filePath(name + QStringLiteral(".pem"));
}

QString TTestCertificates::Key(const QString &name) const
{
    return FDir.filePath(name + QStringLiteral(".key"));
}

bool TTestCertificates::Issue(const QString &name, const QString &altNames, int days)
{
    const QString extensions = FDir.filePath(name + QStringLiteral(".ext"));
    QFile file(extensions);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QStringLiteral("subjectAltName=%1\n").arg(altNames).toUtf8()) < 0)
        return false;
    file.close();
    return OpenSsl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", Key(name), "-out", name + QStringLiteral(".csr"), "-subj",
                    QStringLiteral("/CN=") + name}) &&
           OpenSsl({"x509", "-req", "-in", name + QStringLiteral(".csr"), "-CA", Pem("ca"),
                    "-CAkey", Key("ca"), "-CAcreateserial", "-out", Pem(name), "-days",
                    QString::number(days), "-extfile", extensions});
}

bool TTestCertificates::Make()
{
    const auto selfSigned = [&](const QString &name, const QString &subject,
                                const QStringList &more) {
        return OpenSsl(QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:P-256", "-nodes", "-keyout", Key(name),
                                   "-out", Pem(name), "-days", "30", "-subj", subject} +
                       more);
    };
    QByteArray checked;
    const bool made =
        FDir.isValid() && selfSigned("ca", "/CN=Lindqvar Test CA", {}) &&
        Issue("server", "IP:127.0.0.1,DNS:localhost", 30) &&
        Issue("wrong-name", "DNS:device.invalid", 30) && Issue("expired", "IP:127.0.0.1", -1) &&
        Issue("client", "DNS:client.invalid", 30) &&
        selfSigned("stranger", "/CN=stranger", {"-addext", "subjectAltName=IP:127.0.0.1"});
    // The expired one has to be expired already: "-days -1" ends its validity a day ago.
    if (!made || Run({"x509", "-in", Pem("expired"), "-noout", "-checkend", "0"}) != 1)
        return false;
    for (const char *name : {"ca", "server", "wrong-name", "expired", "client", "stranger"}) {
        if (!QFile::setPermissions(Key(QLatin1String(name)), QFile::ReadOwner | QFile::WriteOwner))
            return false;
    }
    return true;
}

QString TTestCertificates::Fingerprint(const QString &name) const
{
    QByteArray out;
    if (!OpenSsl({"x509", "-in", Pem(name), "-noout", "-fingerprint", "-sha256"}, &out))
        return {};
    // "sha256 Fingerprint=AB:CD:..." (the prefix's case differs between versions).
    return QString::fromLatin1(out.mid(out.indexOf('=') + 1).trimmed());
}

bool TTestCertificates::AllowClient(const QString &authDir) const
{
    QByteArray hash;
    const QString allowed = authDir + QStringLiteral("/client/allowed_certs");
    return OpenSsl({"x509", "-in", Pem("ca"), "-noout", "-hash"}, &hash) &&
           QDir().mkpath(allowed) &&
           QFile::copy(Pem("ca"),
                       allowed + u'/' + QString::fromLatin1(hash.trimmed()) + QStringLiteral(".0"));
}
