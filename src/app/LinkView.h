#pragma once

#include "app/CommandState.h"
#include "app/LinkLog.h"

#include <QString>
#include <QStringList>

// The main window as the link session draws it: the session decides, the window shows.
class TLinkView : public TLinkLog
{
public:
    // The status label: a text in the normal or the alarm colour.
    virtual void ShowStatus(const QString &text, bool alarm) = 0;
    // The connection command's caption for its state, and whether it can be used.
    virtual void ShowCommand(TCommandState state) = 0;
    virtual void EnableCommand(bool enabled) = 0;
    // The connection type, port, phone number and refresh inputs.
    virtual void EnableInputs(bool enabled) = 0;
    // The ports found now, shown without a message box; the selected port stays selected while
    // it is listed.
    virtual void ShowPorts(const QStringList &names) = 0;
    // The port list read again as the refresh button reads it, the selected port kept.
    virtual void RefreshPorts() = 0;
    // A number about to be dialled goes in front of the stored numbers, and the phone box shows
    // them.
    virtual void RememberPhoneNumber(const QString &number) = 0;
    // The TCP port the endpoint listens on, as the TCP port dialog shows it.
    virtual void ShowServerPort(int port) = 0;
    // The window comes to the front (a modem link has ended; its setup program stays open).
    virtual void BringToFront() = 0;
};
