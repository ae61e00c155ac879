// The connection command and the window's side of a modem attempt.

#include "app/MainFormUnit.h"

#include "app/ExceptionHandler.h"
#include "controls/Dialogs.h"
#include "controls/URLLabel.h"
#include "log/LOGUnit.h"
#include "modem/RingThread.h"
#include "settings/Defaults.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QThread>
#include <QToolButton>

namespace
{

// Blanks and control characters at either end do not make a phone number.
bool IsBlank(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 32; });
}

} // namespace

void TMainLindqvarForm::URLLabel1Click()
{
    // While a link is running, its command only disconnects. Once the disconnect has been given
    // the link is still unwinding (its loop waits and dispatches until it returns), and a second
    // click there would start a new link nested inside the old one.
    if (FMainLoopDepth > 0 && CommandState() != TCommandState::Connected)
        return;
    URLLabel1->setEnabled(false);
    // Enabled again however the handler ends, a fault included; after a disconnect, only once
    // the link has ended (the link enables it then).
    struct Reenable {
        TMainLindqvarForm &w;
        ~Reenable()
        {
            w.URLLabel1->setEnabled(w.FMainLoopDepth == 0 ||
                                    w.CommandState() == TCommandState::Connected);
        }
    } reenable{*this};

    if (!PortsListComboBox->currentText().contains(QStringLiteral("COM"))) {
        ShowErrorBox(this, QStringLiteral("Нет доступных COM портов."));
        return;
    }
    const std::optional<TConnectionType> type = ConnectionType();
    if (CommandState() == TCommandState::Idle && type == TConnectionType::Modem &&
        IsBlank(PhoneNumber->currentText())) {
        ShowErrorBox(this, QStringLiteral("Не указан номер телефона."));
        return;
    }

    switch (CommandState()) {
    case TCommandState::Idle: // connect
        SetCommand(TCommandState::Connecting);
        try {
            if (type == TConnectionType::Modem) {
                StartRingThread();
            } else if (type == TConnectionType::Cable) {
                ConnectTypeComboBox->setEnabled(false);
                PortsListComboBox->setEnabled(false);
                FRelay.SetModemLink(false);
                SpeedButton1->setEnabled(false);
                if (FRelay.OpenLinkPort() == INVALID_HANDLE_VALUE) {
                    SetStatus(QStringLiteral("COM-порт занят"), true);
                    return;
                }
                SetStatus(QStringLiteral("Идет подключение"), false);
                QCoreApplication::processEvents();
                MainLoop();
            }
        } catch (const std::exception &error) {
            AbandonLink(QString::fromUtf8(error.what()));
            throw;
        }
        break;
    case TCommandState::Connecting: // cancel
        ShowIdle(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения в "
                                "момент подключения к прибору"));
        if (type == TConnectionType::Modem)
            CancelRingThread();
        FRelay.ClosePort();
        EnableInputs(true);
        break;
    case TCommandState::Connected: { // disconnect, nested in a dispatch of the running link
        FRelay.CancelReconnect();
        ShowIdle(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения "
                                "при подключенном приборе (разрыв подключения)"));
        if (type == TConnectionType::Modem) {
            FRelay.SetConnected(false);
            FRelay.HangUpModemLink();
            FRelay.SetModemLink(false);
        } else if (type == TConnectionType::Cable) {
            FRelay.SetConnected(false); // the link closes its port as it ends
        }
        const QString port = PortsListComboBox->currentText();
        RefreshPortList();
        SelectComboItem(PortsListComboBox, port);
        EnableInputs(true);
        break;
    }
    case TCommandState::Broken: // reconnect by modem, with the same port and number
        SetCommand(TCommandState::Connecting);
        try {
            StartRingThread();
        } catch (const std::exception &error) {
            AbandonLink(QString::fromUtf8(error.what()));
            throw;
        }
        break;
    }
}

void TMainLindqvarForm::StartRingThread()
{
    SavePhoneNumber(PhoneNumber->currentText());
    EnableInputs(false);
    FRelay.SetModemLink(true);

    TRingThreadCreateStruct createStruct;
    createStruct.COM = PortsListComboBox->currentText();
    createStruct.BaudRate = ModemBaudRate;
    createStruct.Phone = PhoneNumber->currentText();
    createStruct.Log = LOGForm ? LOGForm->ThreadSink() : TLogSink{};
    createStruct.TerminateHandler = [this](TRingThread *sender) {
        Guarded([&] { RingThreadTerminate(sender); });
    };
    createStruct.Owner = this;
    RetireRingThread(std::move(FRing));
    FRing = std::make_unique<TRingThread>(createStruct);
}

void TMainLindqvarForm::CancelRingThread()
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

void TMainLindqvarForm::RetireRingThread(std::unique_ptr<TRingThread> ring)
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

void TMainLindqvarForm::RingThreadTerminate(TRingThread *sender)
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

void TMainLindqvarForm::WMRingProgress(int stage)
{
    SetStatus(Label7->text(), false);
    switch (stage) {
    case RingStage::PortOpened:
        Label7->setText(QStringLiteral("Инициализация модема"));
        break;
    case RingStage::BearerSelected:
        Label7->setText(QStringLiteral("Регистрация в сети"));
        break;
    case RingStage::Dialling:
        Label7->setText(QStringLiteral("Набор номера"));
        break;
    default:
        break;
    }
}

bool TMainLindqvarForm::event(QEvent *event)
{
    if (event->type() == static_cast<QEvent::Type>(WM_RINGPROGRESS)) {
        const int stage = static_cast<TRingProgressEvent *>(event)->Stage();
        Guarded([&] { WMRingProgress(stage); });
        return true;
    }
    return QWidget::event(event);
}

void TMainLindqvarForm::FormClose()
{
    FRelay.SetConnected(false);
    // A dialer still dialling is ended here, so that the exit neither hangs nor leaves it
    // working on a window that is going away.
    if (FRing && !FRing->isFinished())
        CancelRingThread();
    TerminateSetup();
    SavePortSettings();
}
