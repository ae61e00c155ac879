#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

// ser2net, the serial device server from Debian, serving one device file (a stand-in's
// pseudo-terminal) to the wizard on 127.0.0.1, as a process of the test in the foreground.
class TSer2Net
{
public:
    enum class TProtocol { Rfc2217, RawTcp };
    // TLS at the server: its certificate and key, and where it demands a client certificate,
    // ser2net's folder of users (authdir), which trusts for a client whose certificate is named
    // CN=<user> the certificates in <user>/allowed_certs/ (TTestCertificates::AllowClient).
    struct TTls {
        QString Cert;
        QString Key;
        QString ClientAuthDir;
    };

    TSer2Net(const QString &device, TProtocol protocol, std::optional<TTls> tls = std::nullopt);
    ~TSer2Net();
    TSer2Net(const TSer2Net &) = delete;
    TSer2Net &operator=(const TSer2Net &) = delete;

    // Starts the server and waits until it accepts connections: on a free port the first time,
    // on the same port again after Stop (the server come back). False, with the server's own
    // words on stderr, when it does not come up.
    [[nodiscard]] bool Start();
    // Ends the server (SIGTERM), which drops its connections.
    void Stop();

    // The server's process, for a signal from another thread (0 when it does not run).
    qint64 Pid() const { return FProcess.processId(); }
    // The port-map path of the line: rfc2217://127.0.0.1:<port> or tcp://127.0.0.1:<port>, or
    // with TLS rfc2217+tls://... or tls://... (without options).
    QString Url() const;

private:
    [[nodiscard]] bool StartOn(quint16 port);

    QString FDevice;
    TProtocol FProtocol;
    std::optional<TTls> FTls;
    QTemporaryDir FDir;
    QProcess FProcess;
    quint16 FPort = 0;
};
