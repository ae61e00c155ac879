#include "support/RelayBench.h"

#include <QTcpSocket>
#include <QTest>

#include <poll.h>
#include <unistd.h>

TRelayBench::TRelayBench()
{
    Host.PortName = QStringLiteral("COM7");
    Endpoint.OnClientConnect = [this](TServerSocket *, TCustomWinSocket *) {
        Relay.ClientConnected();
    };
    Endpoint.OnClientDisconnect = [this](TServerSocket *, TCustomWinSocket *) {
        Relay.ClientDisconnected();
    };
    Endpoint.OnClientRead = [this](TServerSocket *sender, TCustomWinSocket *socket) {
        Relay.ClientRead(sender, socket);
    };
    Endpoint.OnClientError = [](TServerSocket *, TCustomWinSocket *, TErrorEvent, int &code) {
        code = 0;
    };
}

bool TRelayBench::Start()
{
    if (!QTest::qVerify(Pty.IsValid(), "Pty.IsValid()", qPrintable(Pty.Error()), __FILE__,
                        __LINE__) ||
        !Config.IsValid() || !Config.WritePortMap({Host.PortName + u'=' + Pty.SlavePath()}))
        return false;
    Endpoint.SetPort(0);
    Endpoint.SetActive(true);
    Port = quint16(Endpoint.LocalPort());
    return Port != 0;
}

bool TRelayBench::OpenPort()
{
    return Relay.OpenLinkPort() != INVALID_HANDLE_VALUE && Relay.PortOpen();
}

bool TRelayBench::BeginRelay()
{
    if (!OpenPort())
        return false;
    Relay.SetConnected(true);
    Host.SetCommand(TCommandState::Connected);
    return true;
}

bool TRelayBench::Connect(QTcpSocket &client)
{
    const int before = Endpoint.ActiveConnections();
    client.connectToHost(QStringLiteral("127.0.0.1"), Port);
    return QTest::qWaitFor(
        [&] { return Endpoint.ActiveConnections() > before && Relay.SetupConnected(); }, 30000);
}

TLineDevice::TLineDevice(int masterFd, QByteArray outgoing, qsizetype expected)
    : FMaster(masterFd), FOutgoing(std::move(outgoing)), FExpected(expected),
      FThread([this] { Run(); })
{
}

TLineDevice::~TLineDevice()
{
    Stop();
}

void TLineDevice::Stop()
{
    FStop = true;
    if (FThread.joinable())
        FThread.join();
}

void TLineDevice::Run()
{
    qsizetype sent = 0;
    char chunk[8192];
    while (!FStop) {
        const bool sending = sent < FOutgoing.size();
        if (!sending && FReceived.size() >= FExpected)
            break;
        pollfd fd{FMaster, short(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&fd, 1, 50) <= 0)
            continue;
        if (fd.revents & POLLIN) {
            const ssize_t n = ::read(FMaster, chunk, sizeof chunk);
            if (n > 0)
                FReceived.append(chunk, n);
        }
        if (sending && (fd.revents & POLLOUT)) {
            // Small pieces, so that the window reads device data in many blocks.
            const size_t piece = size_t(std::min<qsizetype>(1500, FOutgoing.size() - sent));
            const ssize_t n = ::write(FMaster, FOutgoing.constData() + sent, piece);
            if (n > 0)
                sent += n;
        }
    }
    FFinished = true;
}
