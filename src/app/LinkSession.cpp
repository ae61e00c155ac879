#include "app/LinkSession.h"

#include "app/ExceptionHandler.h"
#include "app/LinkView.h"
#include "app/RefusalLog.h"
#include "controls/Dialogs.h"
#include "line/callin/CallInListener.h"
#include "modem/RingThread.h"
#include "ports/PortWatcher.h"
#include "settings/Defaults.h"
#include "settings/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace
{

// Blanks and control characters at either end do not make a phone number.
bool IsBlank(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 32; });
}

} // namespace

TLinkSession::TLinkSession(TLinkView &view, QWidget *window)
    : QObject(window), FView(view), FWindow(window), FStatus(QStringLiteral("Нет подключения")),
      FCableSpeed(DefaultBaudRate), FServerPort(DefaultServerPort),
      FEndpoint(new TServerSocket(this)), FRelay(*this, *FEndpoint),
      FSetup(window, [this](const QString &message) { WriteLog(message); }),
      FRefusals(new TRefusalLog([this](const QString &message) { WriteLog(message); }, this))
{
    setObjectName(QStringLiteral("LinkSession"));
    FEndpoint->setObjectName(QStringLiteral("ServerSocket"));
    FEndpoint->OnClientConnect = [this](TServerSocket *sender, TCustomWinSocket *socket) {
        ServerSocketClientConnect(sender, socket);
    };
    FEndpoint->OnClientDisconnect = [this](TServerSocket *sender, TCustomWinSocket *socket) {
        ServerSocketClientDisconnect(sender, socket);
    };
    FEndpoint->OnClientRead = [this](TServerSocket *sender, TCustomWinSocket *socket) {
        ServerSocketClientRead(sender, socket);
    };
    FEndpoint->OnClientError = [this](TServerSocket *sender, TCustomWinSocket *socket,
                                      TErrorEvent errorEvent, int &errorCode) {
        ServerSocketClientError(sender, socket, errorEvent, errorCode);
    };
    FEndpoint->OnClientRefused = [this](TServerSocket *, int uid) { FRefusals->Refused(uid); };

    // The config folder is made now (the settings would make it at once anyway), so that the
    // port map's folder can be watched from the start.
    QDir().mkpath(Paths::ConfigDir());
    FPortWatcher = new TPortWatcher(this);
    FCallIns = new TCallInListener(this);
    connect(FCallIns, &TCallInListener::Log, this, [this](const QString &line) { WriteLog(line); });
    // A device that calls in or drops is a port that comes or goes, as a plugged adapter is.
    connect(FCallIns, &TCallInListener::DevicesChanged, FPortWatcher, &TPortWatcher::Poke);
    connect(FPortWatcher, &TPortWatcher::Changed, this, [this] {
        Guarded([this] {
            ListenForCalls(*FCallIns);
            PortsMayHaveChanged();
        });
    });
    FPortRefreshRetry = new QTimer(this);
    FPortRefreshRetry->setSingleShot(true);
    FPortRefreshRetry->setInterval(1000);
    connect(FPortRefreshRetry, &QTimer::timeout, this,
            [this] { Guarded([this] { PortsMayHaveChanged(); }); });
}

TLinkSession::~TLinkSession()
{
    if (FRing)
        CancelRingThread();
    FRelay.ClosePort();
    TerminateSetup();
}

void TLinkSession::Start(TLogSink threadLog)
{
    FThreadLog = std::move(threadLog);
    ListenForCalls(*FCallIns);
}

void TLinkSession::RunCommand(const TLinkChoice &choice)
{
    // While a link is running, its command only disconnects. Once the disconnect has been given
    // the link is still unwinding (its loop waits and dispatches until it returns), and a second
    // command there would start a new link nested inside the old one.
    if (FMainLoopDepth > 0 && FCommand != TCommandState::Connected)
        return;
    FView.EnableCommand(false);
    // Enabled again however the command ends, a fault included; after a disconnect, only once
    // the link has ended (the link enables it then).
    struct Reenable {
        TLinkSession &s;
        ~Reenable()
        {
            s.FView.EnableCommand(s.FMainLoopDepth == 0 || s.FCommand == TCommandState::Connected);
        }
    } reenable{*this};

    if (!choice.Port.contains(QStringLiteral("COM"))) {
        ShowErrorBox(FWindow, QStringLiteral("Нет доступных COM портов."));
        return;
    }
    if (FCommand == TCommandState::Idle && choice.Type && NeedsPhoneNumber(*choice.Type) &&
        IsBlank(choice.Phone)) {
        ShowErrorBox(FWindow, QStringLiteral("Не указан номер телефона."));
        return;
    }

    switch (FCommand) {
    case TCommandState::Idle:
        // With no type chosen there is nothing to connect, and the command stays as it is.
        if (choice.Type) {
            SetCommand(TCommandState::Connecting);
            Starting([&] { Connect(*choice.Type, choice); });
        }
        break;
    case TCommandState::Connecting:
        Cancel();
        break;
    case TCommandState::Connected: // nested in a dispatch of the running link
        Disconnect();
        break;
    case TCommandState::Broken: // dial again, with the same port and number
        SetCommand(TCommandState::Connecting);
        Starting([&] { StartRingThread(choice); });
        break;
    }
}

template <typename Step> void TLinkSession::Starting(Step &&step)
{
    try {
        step();
    } catch (const std::exception &error) {
        AbandonLink(QString::fromUtf8(error.what()));
        throw;
    }
}

void TLinkSession::Connect(TConnectionType type, const TLinkChoice &choice)
{
    switch (type) {
    case TConnectionType::Modem:
        StartRingThread(choice);
        return;
    case TConnectionType::Cable:
        FLinkPort = choice.Port;
        EnableInputs(false);
        FRelay.SetModemLink(false);
        if (FRelay.OpenLinkPort() == INVALID_HANDLE_VALUE) {
            SetStatus(QStringLiteral("COM-порт занят"), true);
            return;
        }
        SetStatus(QStringLiteral("Идет подключение"), false);
        QCoreApplication::processEvents();
        MainLoop();
        return;
    }
}

void TLinkSession::Cancel()
{
    ShowIdle(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения в "
                            "момент подключения к прибору"));
    if (FRelay.ModemLink())
        CancelRingThread();
    FRelay.ClosePort();
    EnableInputs(true);
}

void TLinkSession::Disconnect()
{
    FRelay.CancelReconnect();
    ShowIdle(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения при "
                            "подключенном приборе (разрыв подключения)"));
    FRelay.SetConnected(false); // the link closes its port as it ends
    if (FRelay.ModemLink()) {
        FRelay.HangUpModemLink();
        FRelay.SetModemLink(false);
    }
    FView.RefreshPorts();
    EnableInputs(true);
}

void TLinkSession::Close()
{
    FRelay.SetConnected(false);
    // A dialer still dialling is ended here, so that the exit neither hangs nor leaves it
    // working on a window that is going away.
    if (FRing && !FRing->isFinished())
        CancelRingThread();
    TerminateSetup();
}

void TLinkSession::StartRingThread(const TLinkChoice &choice)
{
    FView.RememberPhoneNumber(choice.Phone);
    EnableInputs(false);
    FRelay.SetModemLink(true);
    FLinkPort = choice.Port;

    TRingThreadCreateStruct createStruct;
    createStruct.COM = choice.Port;
    createStruct.BaudRate = ModemBaudRate;
    createStruct.Phone = choice.Phone;
    createStruct.Log = FThreadLog;
    createStruct.TerminateHandler = [this](TRingThread *sender) {
        Guarded([&] { RingThreadTerminate(sender); });
    };
    createStruct.Owner = this;
    RetireRingThread(std::move(FRing));
    FRing = std::make_unique<TRingThread>(createStruct);
}

void TLinkSession::CancelRingThread()
{
    if (!FRing)
        return;
    // Out of FRing before the wait: the wait serves events, and a second cancel or a close
    // handled there must find no dialer left to stop (and none to free under this one).
    std::unique_ptr<TRingThread> ring = std::move(FRing);
    ring->SetErrorCode(RingResult::Cancelled);
    ring->Terminate();
    // The dialer's completion may be running further up this very stack (a dispatch inside
    // the link it started): waiting for it there would never end.
    if (!FRingsTerminating.contains(ring.get()))
        ring->WaitFor();
    RetireRingThread(std::move(ring));
}

void TLinkSession::RetireRingThread(std::unique_ptr<TRingThread> ring)
{
    if (!ring)
        return;
    if (ring->isFinished())
        return; // freed here
    // Still returning from its completion handler: freed as soon as it has ended.
    TRingThread *running = ring.release();
    connect(running, &QThread::finished, running, &QObject::deleteLater);
    if (running->isFinished())
        running->deleteLater();
}

void TLinkSession::RingThreadTerminate(TRingThread *sender)
{
    FRingsTerminating.append(sender);
    struct Leave {
        QList<const TRingThread *> &list;
        ~Leave() { list.removeLast(); }
    } leave{FRingsTerminating};

    FRelay.TakePort(sender->TakeCOMHandle());
    const std::uint32_t code = sender->ErrorCode();
    if (code == RingResult::Connected) {
        // The dialer has just opened this port: a loss marked during an earlier link (its port
        // vanishing after a modem result text had ended it) must not end this one at once.
        FRelay.CancelReconnect();
        MainLoop();
    } else if (IsDialFailure(code)) {
        FRelay.ClosePort();
        SetStatus(ModemErrorText(code), true);
        SetCommand(TCommandState::Idle);
        EnableInputs(true);
    } else if (code == RingResult::Cancelled) {
        FRelay.ClosePort();
    }
}

void TLinkSession::WMRingProgress(int stage)
{
    switch (stage) {
    case RingStage::PortOpened:
        SetStatus(QStringLiteral("Инициализация модема"), false);
        break;
    case RingStage::BearerSelected:
        SetStatus(QStringLiteral("Регистрация в сети"), false);
        break;
    case RingStage::Dialling:
        SetStatus(QStringLiteral("Набор номера"), false);
        break;
    default:
        SetStatus(FStatus, false);
        break;
    }
}

bool TLinkSession::event(QEvent *event)
{
    if (event->type() == static_cast<QEvent::Type>(WM_RINGPROGRESS)) {
        const int stage = static_cast<TRingProgressEvent *>(event)->Stage();
        Guarded([&] { WMRingProgress(stage); });
        return true;
    }
    return QObject::event(event);
}

void TLinkSession::PortsMayHaveChanged()
{
    // During a link, and while one is being made, the list stays as it is; the change is
    // looked at again once the link has ended, however it ended.
    if (FCommand != TCommandState::Idle || FMainLoopDepth > 0) {
        FPortRefreshRetry->start();
        return;
    }
    QStringList names;
    try {
        names = FindPorts();
    } catch (const std::exception &error) {
        // Nobody asked for this refresh: no box, the reason goes to the log and stderr.
        qWarning("%s", error.what());
        WriteLog(QString::fromUtf8(error.what()));
        return;
    }
    FView.ShowPorts(names);
}

QStringList TLinkSession::FindPorts()
{
    QStringList names;
    TResult discovery = TResult::Success();
    GetDosDevices(names, QStringLiteral("COM"), &discovery);
    if (!discovery) {
        qWarning("%s", qUtf8Printable(discovery.Reason()));
        WriteLog(discovery.Reason());
    }
    return names;
}

void TLinkSession::WriteLog(const QString &message, const QString &prefix)
{
    FView.WriteLog(message, prefix);
}

void TLinkSession::WriteLogBytes(QByteArrayView bytes, const QString &prefix)
{
    FView.WriteLogBytes(bytes, prefix);
}

void TLinkSession::SetStatus(const QString &text, bool alarm)
{
    FStatus = text;
    FView.ShowStatus(text, alarm);
}

void TLinkSession::SetCommand(TCommandState state)
{
    FCommand = state;
    FView.ShowCommand(state);
}

void TLinkSession::ShowIdle(const QString &logLine)
{
    SetCommand(TCommandState::Idle);
    SetStatus(QStringLiteral("Нет подключения"), false);
    WriteLog(logLine);
}

void TLinkSession::EnableInputs(bool enabled)
{
    FView.EnableInputs(enabled);
}

void TLinkSession::MainLoop()
{
    // The connection command looks at this: while a link unwinds, its command does nothing.
    ++FMainLoopDepth;
    struct Leave {
        int &depth;
        ~Leave() { --depth; }
    } leave{FMainLoopDepth};
    Starting([this] { RunLink(); });
    // A disconnect left the command disabled until this link had ended.
    FView.EnableCommand(true);
}

void TLinkSession::AbandonLink(const QString &error)
{
    // An error raised by a step of the link (an endpoint that cannot start, a settings write)
    // still goes to the top-level handler, but must not leave the link half alive behind it.
    FRelay.Abandon();
    try {
        StopServer();
    } catch (const std::exception &another) {
        // The error being raised is the one the user sees; this one goes to the log.
        WriteLog(QString::fromUtf8(another.what()));
    }
    TerminateSetup();
    ShowIdle(QStringLiteral("Установили \"Нет подключения\", ошибка: %1").arg(error));
    EnableInputs(true);
    FView.EnableCommand(true);
}

void TLinkSession::RefuseStart(const QString &logLine, const QString &boxText,
                               const QString &idleLine)
{
    WriteLog(logLine);
    TDialogs::Instance().MessageBox(FWindow, QStringLiteral("Error"), boxText, TMsgIcon::Error);
    ShowIdle(idleLine);
    StopServer();
    if (FRelay.PortOpen())
        FRelay.CloseLinkPort();
    EnableInputs(true);
}

void TLinkSession::RunLink()
{
    if (!FRelay.RequestVerInfo(FVerInfo)) {
        RefuseStart(
            QStringLiteral("Устройство не обнаружено, работа программы невозможна"),
            QStringLiteral("Устройство не обнаружено, работа программы невозможна."),
            QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
        return;
    }

    StartServer();
    LaunchSetup();
    if (!FSetup.Started()) {
        RefuseStart(QStringLiteral("Не найдена программа настройки"),
                    QStringLiteral("Программа настройки для данного прибора не обнаружена."),
                    QStringLiteral(
                        "Установили \"Нет подключения\", главный цикл, нет программы настройки"));
        return;
    }

    FRelay.SetConnected(true);
    SetCommand(TCommandState::Connected);
    SetStatus(QStringLiteral("Подключен"), false);
    FView.EnableCommand(true);

    while (FRelay.Connected()) {
        if (FPassObserver)
            FPassObserver();
        FRelay.Pass();
    }

    if (FRelay.PortOpen())
        FRelay.CloseLinkPort();
    StopServer();
    FRelay.DropPendingBlocks();
    // The setup program of a modem link stays open for the next call; the window comes to
    // the front.
    if (FRelay.ModemLink())
        FView.BringToFront();
    else
        TerminateSetup();
}

void TLinkSession::StartServer()
{
    if (FEndpoint->Active())
        StopServer();
    FView.ShowServerPort(FServerPort);
    FEndpoint->SetPort(FServerPort);
    FEndpoint->SetActive(true);
}

void TLinkSession::StopServer()
{
    if (FEndpoint->Active())
        FEndpoint->SetActive(false);
}

void TLinkSession::ServerSocketClientConnect(TServerSocket *, TCustomWinSocket *)
{
    FRelay.ClientConnected();
}

void TLinkSession::ServerSocketClientDisconnect(TServerSocket *, TCustomWinSocket *)
{
    FRelay.ClientDisconnected();
}

void TLinkSession::ServerSocketClientRead(TServerSocket *sender, TCustomWinSocket *socket)
{
    FRelay.ClientRead(sender, socket);
}

void TLinkSession::ServerSocketClientError(TServerSocket *, TCustomWinSocket *, TErrorEvent,
                                           int &errorCode)
{
    // A client's socket error drops that client; the endpoint goes on.
    errorCode = 0;
}

void TLinkSession::LaunchSetup()
{
    FSetup.Launch(FVerInfo);
}

void TLinkSession::TerminateSetup()
{
    FSetup.Terminate();
}
