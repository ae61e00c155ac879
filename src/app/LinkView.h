#pragma once

#include <QByteArrayView>
#include <QString>

// The connection command's states, kept as the Tag of URLLabel1 (the values are the Tag's), each
// with its caption: "Подключить", "Отмена подключения", "Отключить", "Переподключить".
enum class TCommandState : int {
    Idle = 0,       // a click connects
    Connecting = 1, // a dialer runs, or the cable port did not open: a click cancels
    Connected = 2,  // a link runs: a click disconnects
    Broken = 3,     // a modem result text ended the link: a click dials again
};

// What a link shows the user and reads from the user's choices: the main window, as the relay
// sees it.
class TLinkView
{
public:
    virtual ~TLinkView() = default;

    // The event log of the window thread.
    virtual void WriteLog(const QString &message, const QString &prefix = QString()) = 0;
    // The same for bytes of the line, logged as Windows-1251 text (Win1251ToString).
    virtual void WriteLogBytes(QByteArrayView bytes, const QString &prefix) = 0;
    // The status label: a text and a colour, always set together.
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
