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

void TLinkBench::Start()
{
    QVERIFY2(Pty.IsValid(), qPrintable(Pty.Error()));
    QVERIFY(F.Config.WritePortMap({ComName() + QLatin1Char('=') + Pty.SlavePath()}));
    F.Start();
    F.ShowLog();
    TMainLindqvarForm &w = W();
    w.SelectComboItem(w.PortsListComboBox, ComName());
    QCOMPARE(w.PortsListComboBox->currentText(), ComName());
    w.ConnectTypeComboBox->setCurrentIndex(1);
    w.ConnectTypeComboBoxChange();
}

void TLinkBench::OpenPort()
{
    TMainLindqvarForm &w = W();
    QVERIFY(w.OpenLinkPort() != INVALID_HANDLE_VALUE);
    QVERIFY(State(w).FCOMHandle != INVALID_HANDLE_VALUE);
}

void TLinkBench::BeginRelay()
{
    OpenPort();
    if (QTest::currentTestFailed())
        return;
    TMainLindqvarForm &w = W();
    Port = F.UseFreeServerPort();
    QVERIFY(Port != 0);
    w.StartServer();
    QVERIFY(w.ServerSocket->Active());
    State(w).FConnected = true;
    w.SetCommand(TCommandState::Connected);
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

QByteArray PatternBytes(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (qsizetype i = 0; i < size; ++i) {
        state = state * 16777619u + quint32(i);
        bytes[i] = char(state >> 24);
    }
    return bytes;
}
