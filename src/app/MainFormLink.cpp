// The order of a link in the main window, and the link's steps, which the relay carries out.

#include "app/MainFormUnit.h"

#include "app/MessagePump.h"
#include "controls/Dialogs.h"
#include "controls/URLLabel.h"
#include "settings/COMSettingsUnit.h"

#include <QComboBox>

namespace
{

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
    URLLabel1->setEnabled(true);
}

void TMainLindqvarForm::RunLink()
{
    if (!FRelay.RequestVerInfo(FVerInfo)) {
        WriteLog(QStringLiteral("Устройство не обнаружено, работа программы невозможна"));
        ShowStartFailure(this,
                         QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
        ShowIdle(
            QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
        if (FRelay.PortOpen())
            FRelay.CloseLinkPort();
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
        if (FRelay.PortOpen())
            FRelay.CloseLinkPort();
        EnableInputs(true);
        return;
    }

    FRelay.SetConnected(true);
    SetCommand(TCommandState::Connected);
    SetStatus(QStringLiteral("Подключен"), false);
    URLLabel1->setEnabled(true);

    while (FRelay.Connected())
        RelayPass();

    if (FRelay.PortOpen())
        FRelay.CloseLinkPort();
    StopServer();
    FRelay.DropPendingBlocks();
    if (FRelay.ModemLink()) {
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
    FRelay.Pass();
}

bool TMainLindqvarForm::DetectModemFailure(int count)
{
    return FRelay.DetectModemFailure(count);
}

QString TMainLindqvarForm::LinkPortName() const
{
    return PortsListComboBox->currentText();
}

int TMainLindqvarForm::CableSpeed() const
{
    return COMSettingsForm->Speed();
}
void TMainLindqvarForm::LaunchSetup()
{
    FSetup.Launch(FVerInfo);
}

void TMainLindqvarForm::TerminateSetup()
{
    FSetup.Terminate();
}
