#include "support/Ser2Net.h"

#include "support/WizardFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

TSer2Net::TSer2Net(const QString &device, TProtocol protocol, std::optional<TTls> tls)
    : FDevice(device), FProtocol(protocol), FTls(std::move(tls))
{
}

TSer2Net::~TSer2Net()
{
    Stop();
}

QString TSer2Net::Url() const
{
    const bool rfc2217 = FProtocol == TProtocol::Rfc2217;
    const char *scheme = FTls ? (rfc2217 ? "rfc2217+tls" : "tls") : (rfc2217 ? "rfc2217" : "tcp");
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(FPort);
}

bool TSer2Net::Start()
{
    if (FPort != 0)
        return StartOn(FPort);
    // A free port may be taken by a test beside this one before the server binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (StartOn(FreeTcpPort()))
            return true;
    }
    return false;
}

bool TSer2Net::StartOn(quint16 port)
{
    Stop();
    FPort = port;
    // "local": the pseudo-terminal has no modem lines to watch.
    // TLS is a layer of its own between the protocol and TCP.
    QString tls;
    if (FTls) {
        tls = QStringLiteral("ssl(key=%1,cert=%2").arg(FTls->Key, FTls->Cert);
        if (!FTls->ClientAuthDir.isEmpty())
            tls += QStringLiteral(",clientauth");
        tls += QStringLiteral("),");
    }
    const QString authDir = FTls && !FTls->ClientAuthDir.isEmpty()
                                ? QStringLiteral("    authdir: %1\n").arg(FTls->ClientAuthDir)
                                : QString();
    const QString accepter =
        QStringLiteral("%1%2tcp,127.0.0.1,%3")
            .arg(FProtocol == TProtocol::Rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString(),
                 tls)
            .arg(port);
    const QString config = QStringLiteral("connection: &line\n"
                                          "  accepter: %1\n"
                                          "  connector: serialdev,%2,9600n81,local\n"
                                          "  options:\n"
                                          "    kickolduser: true\n"
                                          "%3")
                               .arg(accepter, FDevice, authDir);
    const QString configFile = FDir.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(configFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(config.toUtf8()) != config.toUtf8().size())
        return false;
    file.close();

    // -n: in the foreground, -u: no UUCP lock (the stand-in holds the line's other end).
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start(QStringLiteral("ser2net"),
                   {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), configFile,
                    QStringLiteral("-P"), FDir.filePath(QStringLiteral("ser2net.pid"))});
    if (!FProcess.waitForStarted(10000)) {
        qWarning("ser2net did not start: %s", qPrintable(FProcess.errorString()));
        return false;
    }
    // It listens once it has read its configuration.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && FProcess.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QThread::msleep(20);
    }
    qWarning("ser2net on port %u did not come up: %s", port, FProcess.readAll().constData());
    Stop();
    return false;
}

void TSer2Net::Stop()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(10000)) {
        FProcess.kill();
        FProcess.waitForFinished(10000);
    }
}
