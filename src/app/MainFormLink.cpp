// The bridge loop and the serial link steps of the main window.

#include "app/MainFormUnit.h"

#include "controls/Dialogs.h"
#include "controls/URLLabel.h"
#include "log/Win1251.h"
#include "net/TServerSocket.h"
#include "platform/TickClock.h"
#include "serial/ModemResults.h"
#include "settings/COMSettingsUnit.h"
#include "settings/Defaults.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace
{

void DispatchPendingMessages()
{
    QCoreApplication::processEvents();
}

const QString LinkLostText =
    QStringLiteral("Соединение было прервано, последний пакет не доставлен");

// The modal dialog of the two failures of a link start (caption "Error").
void ShowStartFailure(QWidget *parent, const QString &text)
{
    TDialogs::Instance().MessageBox(parent, QStringLiteral("Error"), text, TMsgIcon::Error);
}

} // namespace

void TMainLindqvarForm::MainLoop()
{
    // The connection command looks at this: while a link unwinds, its command does nothing.
    ++FMainLoopDepth;
    struct Leave {
        int &depth;
        ~Leave() { --depth; }
    } leave{FMainLoopDepth};
    try {
        RunLink();
    } catch (const std::exception &error) {
        AbandonLink(QString::fromUtf8(error.what()));
        throw;
    }
    // A disconnect left the command disabled until this link had ended.
    URLLabel1->setEnabled(true);
}

void TMainLindqvarForm::AbandonLink(const QString &error)
{
    // An error raised by a step of the link (an endpoint that cannot start, a settings write)
    // still goes to the top-level handler, but must not leave the link half alive behind it.
    FConnected = false;
    FNeedCOMReconnect = false;
    FReadSocket = 0;
    FSerialBlockPending = false;
    if (FCOMHandle != INVALID_HANDLE_VALUE)
        CloseLinkPort();
    try {
        StopServer();
    } catch (const std::exception &another) {
        // The error being raised is the one the user sees; this one goes to the log.
        WriteLog(QString::fromUtf8(another.what()));
    }
    TerminateSetup();
    ShowIdle(QStringLiteral("Установили \"Нет подключения\", ошибка: %1").arg(error));
    EnableInputs(true);
    URLLabel1->setEnabled(true);
}

void TMainLindqvarForm::RunLink()
{
    if (!RequestVerInfo()) {
        WriteLog(QStringLiteral("Устройство не обнаружено, работа программы невозможна"));
        ShowStartFailure(this,
                         QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
        ShowIdle(
            QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
        if (FCOMHandle != INVALID_HANDLE_VALUE)
            CloseLinkPort();
        EnableInputs(true);
        return;
    }

    StartServer();
    LaunchSetup();
    if (!FSetup.Started()) {
        WriteLog(QStringLiteral("Не найдена программа настройки"));
        ShowStartFailure(this,
                         QStringLiteral("Программа настройки для данного прибора не обнаружена."));
        ShowIdle(QStringLiteral(
            "Установили \"Нет подключения\", главный цикл, нет программы настройки"));
        StopServer();
        if (FCOMHandle != INVALID_HANDLE_VALUE)
            CloseLinkPort();
        EnableInputs(true);
        return;
    }

    FConnected = true;
    SetCommand(TCommandState::Connected);
    SetStatus(QStringLiteral("Подключен"), false);
    URLLabel1->setEnabled(true);

    while (FConnected)
        RelayPass();

    if (FCOMHandle != INVALID_HANDLE_VALUE)
        CloseLinkPort();
    StopServer();
    // A block from the client still waiting now belongs to the ended link: drop it, so that it
    // can never reach the device of a later link.
    FReadSocket = 0;
    FSerialBlockPending = false;
    if (FModemConnect) {
        raise();
        activateWindow();
    } else {
        TerminateSetup();
    }
}

void TMainLindqvarForm::RelayPass()
{
    if (PassObserver)
        PassObserver();
    DispatchPendingMessages();

    if (FNeedCOMReconnect) {
        if (FModemConnect) {
            WriteLog(QStringLiteral("Завершение работы по потере порта."));
            ShowIdle(QStringLiteral("Установили \"Нет подключения\", главный цикл, модемное "
                                    "соединение, порт потерян"));
            FConnected = false;
            EnableInputs(true);
            CloseCOMPort(FCOMHandle);
            FNeedCOMReconnect = false;
        } else {
            Delay(500);
            DispatchPendingMessages();
            if (FNeedCOMReconnect) {
                WriteLog(QStringLiteral("Попытка переокрытия COM порта"));
                if (ReopenLinkPort()) {
                    WriteLog(QStringLiteral("Порт успешно переоткрыт"));
                    SetStatus(QStringLiteral("Подключен"), false);
                }
            }
        }
    } else {
        DispatchPendingMessages();

        // Client to device. The count is taken before the dispatch; the block itself cannot
        // change meanwhile, because client reads are deferred while it is undelivered.
        const int n = FReadSocket;
        if (n > 0) {
            DispatchPendingMessages();
            if (FConnected) {
                COMWrite(n);
                WriteLog(Win1251ToString(BufferToBytes(n)), QStringLiteral("TCP->COM"));
            } else {
                WriteLog(LinkLostText);
            }
        }

        // Device to client. Client reads are deferred until the block has been sent.
        const int m = COMRead();
        if (m > 0) {
            FSerialBlockPending = true;
            DispatchPendingMessages();
            if (FConnected) {
                SendToClient(m);
                WriteLog(Win1251ToString(BufferToBytes(m)), QStringLiteral("COM->TCP"));
            } else {
                WriteLog(LinkLostText);
            }
            FSerialBlockPending = false;
            ResumeClientReads();
        }
    }

    Delay(50);
    DispatchPendingMessages();

    if (CommandState() != TCommandState::Idle &&
        !IsCOMPortPresent(PortsListComboBox->currentText())) {
        CloseLinkPort();
        SetStatus(QStringLiteral("Прибор недоступен"), true);
        FNeedCOMReconnect = true;
    }
}

void TMainLindqvarForm::Delay(std::uint32_t ms)
{
    // A blocking wait that keeps dispatching: a timer wakes the wait at the deadline, so the
    // window thread sleeps between messages instead of spinning.
    const QDeadlineTimer deadline(
        std::chrono::duration_cast<std::chrono::nanoseconds>(TickClock::RealDuration(ms)),
        Qt::PreciseTimer);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive())
            wake.start(std::max<qint64>(1, deadline.remainingTime()));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

QByteArray TMainLindqvarForm::BufferToBytes(int count) const
{
    return QByteArray(FDataBuffer.data(), std::clamp(count, 0, COM_BUFFER_SIZE));
}

int TMainLindqvarForm::BytesToBuffer(const QByteArray &bytes)
{
    const int size = static_cast<int>(std::min<qsizetype>(bytes.size(), COM_BUFFER_SIZE));
    std::memcpy(FDataBuffer.data(), bytes.constData(), static_cast<size_t>(size));
    return size;
}

int TMainLindqvarForm::COMRead()
{
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), COM_BUFFER_SIZE);
        if (FModemConnect && DetectModemFailure(n)) {
            SetCommand(TCommandState::Broken);
            SetStatus(QStringLiteral("Нет подключения"), false);
            WriteLog(QStringLiteral("Установили \"Нет подключения\", процедура COMRead"));
            FConnected = false;
            HangUpModem();
            n = 0;
        }
    } catch (const std::exception &) {
        WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    }
    if (n == -1) {
        n = 0;
        WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    }
    return n;
}

void TMainLindqvarForm::HangUpModem()
{
    WriteCOMString(FCOMHandle, QByteArrayLiteral("ATH"));
    TickClock::Sleep(150);
    CloseCOMPort(FCOMHandle);
}

void TMainLindqvarForm::HangUpModemLink()
{
    // Three separate "+" writes leave the data mode; ATH hangs up.
    for (int i = 0; i < 3; ++i)
        WriteCOMString(FCOMHandle, QByteArrayLiteral("+"));
    TickClock::Sleep(150);
    HangUpModem();
}

bool TMainLindqvarForm::DetectModemFailure(int count)
{
    if (count <= 0)
        return false;
    const QByteArray block = BufferToBytes(count);
    if (FindModemFailure(block) == RingResult::Connected)
        return false;
    WriteLog(QStringLiteral("Завершение работы по ошибке модема"));
    WriteLog(QStringLiteral("Последний полученный пакет:"));
    WriteLog(Win1251ToString(block));
    return true;
}

int TMainLindqvarForm::COMWrite(int count)
{
    int written = WriteCOMPort(FCOMHandle, FDataBuffer.data(), count);
    if (written == -1 || written == 0) {
        WriteLog(QStringLiteral("Ошибка записи в COM порт"));
        SetStatus(QStringLiteral("Прибор не доступен"), true);
        FNeedCOMReconnect = true;
        try {
            ServerSocket->DisconnectClients();
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

void TMainLindqvarForm::CloseLinkPort()
{
    CancelCOMIo(FCOMHandle);
    CloseCOMPort(FCOMHandle);
}

bool TMainLindqvarForm::ReopenLinkPort()
{
    if (FCOMHandle != INVALID_HANDLE_VALUE)
        CloseLinkPort();
    bool isNumber = false;
    int speed = COMSettingsForm->SpeedComboBox->currentText().toInt(&isNumber);
    if (!isNumber)
        speed = DefaultBaudRate;
    FLastOpenResult = OpenCOMPort(PortsListComboBox->currentText(), speed, FCOMHandle);
    if (FLastOpenResult)
        FNeedCOMReconnect = false;
    return FLastOpenResult.Ok();
}

THandle TMainLindqvarForm::OpenLinkPort()
{
    // A handle left from an open that could not prepare the port is released first.
    CloseCOMPort(FCOMHandle);
    FCOMHandle = INVALID_HANDLE_VALUE;
    if (ReopenLinkPort()) {
        WriteLog(QStringLiteral("COM порт успешно открыт"));
        return FCOMHandle;
    }
    WriteLog(QStringLiteral("Ошибка открытия COM порта"));
    WriteLog(FLastOpenResult.Reason());
    return INVALID_HANDLE_VALUE;
}
