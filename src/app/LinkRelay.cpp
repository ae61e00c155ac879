#include "app/LinkRelay.h"

#include "app/MessagePump.h"
#include "app/RelayHost.h"
#include "endpoint/TServerSocket.h"
#include "modem/ModemResults.h"
#include "platform/TickClock.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace
{

constexpr std::uint32_t ReplyTimeLimitMs = 10000;
// How often an open waits for a line on the network that is still connecting.
constexpr std::uint32_t OpenPollMs = 20;
// A reply is a few hundred bytes; a line that keeps talking beyond this is not answering.
constexpr qsizetype MaxReplySize = 1 << 20;

} // namespace

TLinkRelay::TLinkRelay(TRelayHost &host, TServerSocket &endpoint) : FHost(host), FEndpoint(endpoint)
{
}

TLinkRelay::~TLinkRelay()
{
    CloseCOMPort(FCOMHandle);
}

void TLinkRelay::ClosePort()
{
    CloseCOMPort(FCOMHandle);
}

void TLinkRelay::Pass()
{
    DispatchPendingMessages();
    if (FNeedCOMReconnect) {
        ReconnectStep();
    } else {
        DispatchPendingMessages();
        ClientToDevice();
        DeviceToClient();
    }

    DelayDispatching(50);
    DispatchPendingMessages();

    if (FHost.CommandState() != TCommandState::Idle && !IsCOMPortPresent(FHost.LinkPortName())) {
        CloseLinkPort();
        FHost.SetStatus(QStringLiteral("Прибор недоступен"), true);
        FNeedCOMReconnect = true;
    }
}

void TLinkRelay::ReconnectStep()
{
    if (FModemConnect) {
        FHost.WriteLog(QStringLiteral("Завершение работы по потере порта."));
        FHost.ShowIdle(QStringLiteral("Установили \"Нет подключения\", главный цикл, модемное "
                                      "соединение, порт потерян"));
        FConnected = false;
        FHost.EnableInputs(true);
        CloseCOMPort(FCOMHandle);
        FNeedCOMReconnect = false;
        return;
    }
    DelayDispatching(500);
    DispatchPendingMessages();
    if (!FNeedCOMReconnect)
        return;
    FHost.WriteLog(QStringLiteral("Попытка переокрытия COM порта"));
    if (ReopenLinkPort()) {
        FHost.WriteLog(QStringLiteral("Порт успешно переоткрыт"));
        FHost.SetStatus(QStringLiteral("Подключен"), false);
    }
}

void TLinkRelay::ClientToDevice()
{
    // The count is taken before the dispatch; the block itself cannot change meanwhile, because
    // client reads are deferred while it is undelivered.
    const int n = FReadSocket;
    if (n > 0 && ConnectedAfterDispatch()) {
        COMWrite(n);
        FHost.WriteLogBytes(QByteArrayView(FDataBuffer.data(), n), QStringLiteral("TCP->COM"));
    }
}

void TLinkRelay::DeviceToClient()
{
    // Client reads are deferred until the block has been sent.
    const int m = COMRead();
    if (m <= 0)
        return;
    FSerialBlockPending = true;
    if (ConnectedAfterDispatch()) {
        SendToClient(m);
        FHost.WriteLogBytes(QByteArrayView(FDataBuffer.data(), m), QStringLiteral("COM->TCP"));
    }
    FSerialBlockPending = false;
    ResumeClientReads();
}

bool TLinkRelay::ConnectedAfterDispatch()
{
    DispatchPendingMessages();
    if (!FConnected)
        FHost.WriteLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"));
    return FConnected;
}

void TLinkRelay::DropPendingBlocks()
{
    FReadSocket = 0;
    FSerialBlockPending = false;
}

void TLinkRelay::Abandon()
{
    FConnected = false;
    FNeedCOMReconnect = false;
    DropPendingBlocks();
    if (PortOpen())
        CloseLinkPort();
}

bool TLinkRelay::RequestVerInfo(QByteArray &reply)
{
    COMWrite(BytesToBuffer(QByteArrayLiteral("+VER_INFO=?\r\n")));
    FHost.WriteLog(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));

    const std::uint32_t start = TickClock::Now();
    reply.clear();
    QByteArray collected;
    std::uint32_t elapsed = 0;
    while ((elapsed = TickClock::Since(start)) < ReplyTimeLimitMs) {
        const int n = COMRead();
        if (n == 0) {
            WaitForInput(ReplyTimeLimitMs - elapsed);
            continue;
        }
        if (collected.size() >= MaxReplySize)
            continue; // drained and ignored: no device answers at such length
        collected.append(BufferToBytes(n));
        if (collected.contains("OK\r\n")) {
            FHost.WriteLogBytes(collected, QStringLiteral("COM->APP"));
            reply = collected;
            return true;
        }
    }
    return false;
}

void TLinkRelay::WaitForInput(std::uint32_t remainingMs) const
{
    // Sleeps instead of polling the line in a loop, and still reacts to every arriving byte.
    const auto wait = TickClock::RealDuration(std::min<std::uint32_t>(remainingMs, 100));
    const auto nap = [&wait] {
        std::this_thread::sleep_for(std::min(wait, TickClock::RealDuration(10)));
    };
    // The line says whether it has input, bytes it holds already included. One that is gone
    // (lost, hung up, its other side gone) would report itself ready at once while nothing can
    // ever be read from it: sleep instead of spinning on it.
    if (WaitCOMInput(FCOMHandle, wait) == TSerialLine::TInputWait::Gone)
        nap();
}

int TLinkRelay::COMRead()
{
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), COM_BUFFER_SIZE);
        if (FModemConnect && DetectModemFailure(n)) {
            FHost.SetCommand(TCommandState::Broken);
            FHost.SetStatus(QStringLiteral("Нет подключения"), false);
            FHost.WriteLog(QStringLiteral("Установили \"Нет подключения\", процедура COMRead"));
            FConnected = false;
            HangUpModem();
            n = 0;
        }
    } catch (const std::exception &) {
        FHost.WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    }
    if (n == -1) {
        n = 0;
        FHost.WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    }
    return n;
}

bool TLinkRelay::DetectModemFailure(int count)
{
    if (count <= 0)
        return false;
    const QByteArray block = BufferToBytes(count);
    if (FindModemFailure(block) == RingResult::Connected)
        return false;
    FHost.WriteLog(QStringLiteral("Завершение работы по ошибке модема"));
    FHost.WriteLog(QStringLiteral("Последний полученный пакет:"));
    FHost.WriteLogBytes(block, QString());
    return true;
}

int TLinkRelay::COMWrite(int count)
{
    int written = WriteCOMPort(FCOMHandle, FDataBuffer.data(), count);
    if (written == -1 || written == 0) {
        FHost.WriteLog(QStringLiteral("Ошибка записи в COM порт"));
        FHost.SetStatus(QStringLiteral("Прибор не доступен"), true);
        FNeedCOMReconnect = true;
        try {
            FEndpoint.DisconnectClients();
        } catch (const std::exception &) {
            // The connection is dropped either way; the endpoint keeps listening.
        }
        FSetupConnected = false;
        written = 0;
    }
    FReadSocket = 0;
    ResumeClientReads();
    return written;
}

void TLinkRelay::CloseLinkPort()
{
    CancelCOMIo(FCOMHandle);
    CloseCOMPort(FCOMHandle);
}

bool TLinkRelay::ReopenLinkPort()
{
    if (FCOMHandle != INVALID_HANDLE_VALUE)
        CloseLinkPort();
    FLastOpenResult = OpenCOMPort(FHost.LinkPortName(), FHost.CableSpeed(), FCOMHandle);
    if (FLastOpenResult)
        FNeedCOMReconnect = false;
    return FLastOpenResult.Ok();
}

THandle TLinkRelay::OpenLinkPort()
{
    // A handle left from an open that could not prepare the port is released first.
    CloseCOMPort(FCOMHandle);
    FCOMHandle = INVALID_HANDLE_VALUE;
    // A line on the network connects in the background (5 s at most). The window goes on
    // painting and serving its timers meanwhile; the user's input waits for the outcome.
    FLastOpenResult = OpenCOMPortWaiting(FHost.LinkPortName(), FHost.CableSpeed(), FCOMHandle, [] {
        DelayDispatching(OpenPollMs, QEventLoop::ExcludeUserInputEvents);
        return true;
    });
    if (FLastOpenResult) {
        FNeedCOMReconnect = false;
        FHost.WriteLog(QStringLiteral("COM порт успешно открыт"));
        for (const QString &note : OpenedPortNotes(FCOMHandle, FHost.LinkPortName()))
            FHost.WriteLog(note);
        return FCOMHandle;
    }
    FHost.WriteLog(QStringLiteral("Ошибка открытия COM порта"));
    FHost.WriteLog(FLastOpenResult.Reason());
    return INVALID_HANDLE_VALUE;
}

void TLinkRelay::HangUpModemLink()
{
    // Three separate "+" writes leave the data mode; ATH hangs up.
    for (int i = 0; i < 3; ++i)
        WriteCOMString(FCOMHandle, QByteArrayLiteral("+"));
    TickClock::Sleep(150);
    HangUpModem();
}

void TLinkRelay::HangUpModem()
{
    WriteCOMString(FCOMHandle, QByteArrayLiteral("ATH"));
    TickClock::Sleep(150);
    CloseCOMPort(FCOMHandle);
}

QByteArray TLinkRelay::BufferToBytes(int count) const
{
    return QByteArray(FDataBuffer.data(), std::clamp(count, 0, COM_BUFFER_SIZE));
}

int TLinkRelay::BytesToBuffer(const QByteArray &bytes)
{
    const int size = static_cast<int>(std::min<qsizetype>(bytes.size(), COM_BUFFER_SIZE));
    std::memcpy(FDataBuffer.data(), bytes.constData(), static_cast<size_t>(size));
    return size;
}

bool TLinkRelay::SendToClient(int count)
{
    if (!FSetupConnected || FEndpoint.ActiveConnections() == 0)
        return false;
    return FEndpoint.Connections(0)->SendBuf(FDataBuffer.data(), count) == count;
}

void TLinkRelay::ClientRead(TServerSocket *sender, TCustomWinSocket *socket)
{
    // The buffer still holds a block that has not reached its destination: leave the bytes in
    // the socket until the pass has delivered it.
    if (FReadSocket > 0 || FSerialBlockPending) {
        sender->SuspendReads();
        return;
    }
    const int waiting = std::min(socket->ReceiveLength(), COM_BUFFER_SIZE);
    const int stored = waiting > 0 ? socket->ReceiveBuf(FDataBuffer.data(), waiting) : 0;
    FReadSocket = std::max(stored, 0);
}

void TLinkRelay::ResumeClientReads()
{
    if (FReadSocket == 0 && !FSerialBlockPending)
        FEndpoint.ResumeReads();
}
