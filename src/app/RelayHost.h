#pragma once

#include "app/CommandState.h"
#include "app/LinkLog.h"

#include <QString>

// What a link's relay tells and asks of the session that runs it: the log, the status, the
// command's state, and the port and speed of the link.
class TRelayHost : public TLinkLog
{
public:
    // The status: a text and a colour, always set together.
    virtual void SetStatus(const QString &text, bool alarm) = 0;
    // The connection command: its state and caption, always set together.
    virtual void SetCommand(TCommandState state) = 0;
    virtual TCommandState CommandState() const = 0;
    // Back to idle: the command "Подключить", the status "Нет подключения" in the normal colour,
    // and the log line that says why.
    virtual void ShowIdle(const QString &logLine) = 0;
    // The connection type, port, phone number and refresh inputs.
    virtual void EnableInputs(bool enabled) = 0;
    // The port of the link, and the speed chosen for a cable link.
    virtual QString LinkPortName() const = 0;
    virtual int CableSpeed() const = 0;
};
