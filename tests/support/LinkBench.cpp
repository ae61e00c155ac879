#include "support/LinkBench.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "settings/Paths.h"
#include "support/MainFormAccess.h"

#include <QComboBox>
#include <QTest>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

TLinkBench::TLinkBench() = default;

TLinkBench::~TLinkBench()
{
    if (F.Windows) {
        TMainLindqvarForm &w = W();
        // The window closes its port itself; a test's half-built link must not end in a loop.
        State(w).FConnected = false;
        w.StopServer();
    }
}

bool TLinkBench::Start()
{
    if (!QTest::qVerify(Pty.IsValid(), "Pty.IsValid()", qPrintable(Pty.Error()), __FILE__,
                        __LINE__) ||
        !F.Config.WritePortMap({ComName() + QLatin1Char('=') + Pty.SlavePath()}) || !F.Start())
        return false;
    F.ShowLog();
    TMainLindqvarForm &w = W();
    w.SelectComboItem(w.PortsListComboBox, ComName());
    w.ConnectTypeComboBox->setCurrentIndex(1);
    w.ConnectTypeComboBoxChange();
    return w.PortsListComboBox->currentText() == ComName();
}

bool TLinkBench::OpenPort()
{
    TMainLindqvarForm &w = W();
    return w.OpenLinkPort() != INVALID_HANDLE_VALUE && State(w).FCOMHandle != INVALID_HANDLE_VALUE;
}

bool TLinkBench::BeginRelay()
{
    if (!OpenPort())
        return false;
    TMainLindqvarForm &w = W();
    Port = F.UseFreeServerPort();
    if (Port == 0)
        return false;
    w.StartServer();
    State(w).FConnected = true;
    State(w).SetCommand(TCommandState::Connected);
    return w.ServerSocket->Active();
}

TMainLindqvarForm &TLinkBench::W() const
{
    return F.Main();
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
