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

bool TTestCertificates::Issue(const QString &name, const QString &altNames, bool expired)
{
    const QString extensions = FDir.filePath(name + QStringLiteral(".ext"));
    QFile file(extensions);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QStringLiteral("subjectAltName=%1\n").arg(altNames).toUtf8()) < 0)
        return false;
    file.close();
    const QString request = name + QStringLiteral(".csr");
    if (!OpenSsl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                  "-keyout", Key(name), "-out", request, "-subj", QStringLiteral("/CN=") + name}))
        return false;
    if (!expired)
        return OpenSsl({"x509", "-req", "-in", request, "-CA", Pem("ca"), "-CAkey", Key("ca"),
                        "-CAcreateserial", "-out", Pem(name), "-days", "30", "-extfile",
                        extensions});
    // Dates in the past are given to the CA command, which every openssl version takes (the
    // x509 command's negative days are refused by newer ones).
    const QString config = FDir.filePath(QStringLiteral("ca.cnf"));
    QFile cnf(config);
    QFile index(FDir.filePath(QStringLiteral("index.txt")));
    QFile serial(FDir.filePath(QStringLiteral("serial")));
    if (!cnf.open(QIODevice::WriteOnly) || !index.open(QIODevice::WriteOnly) ||
        !serial.open(QIODevice::WriteOnly) || serial.write("1000\n") < 0 ||
        cnf.write(QStringLiteral("[ca]\ndefault_ca = test\n"
                                 "[test]\ndatabase = %1\nnew_certs_dir = %2\nserial = %3\n"
                                 "default_md = sha256\npolicy = any\n"
                                 "[any]\ncommonName = supplied\n")
                      .arg(index.fileName(), FDir.path(), serial.fileName())
                      .toUtf8()) < 0)
        return false;
    cnf.close();
    index.close();
    serial.close();
    return OpenSsl({"ca", "-batch", "-config", config, "-cert", Pem("ca"), "-keyfile", Key("ca"),
                    "-in", request, "-out", Pem(name), "-notext", "-startdate", "20200101000000Z",
                    "-enddate", "20200201000000Z", "-extfile", extensions});
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
        Issue("server", "IP:127.0.0.1,DNS:localhost") &&
        Issue("wrong-name", "DNS:device.invalid") && Issue("expired", "IP:127.0.0.1", true) &&
        Issue("client", "DNS:client.invalid") &&
        selfSigned("stranger", "/CN=stranger", {"-addext", "subjectAltName=IP:127.0.0.1"});
    // The expired one has to be expired already.
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
