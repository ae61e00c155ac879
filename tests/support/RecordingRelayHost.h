#pragma once

#include "app/RelayHost.h"
#include "log/Win1251.h"

#include <QStringList>

// The link session as a relay sees it, for tests of the relay alone: it records the log lines
// ("PREFIX message", or the message alone), the status and the command, and names the port and
// speed the test chose.
class TRecordingRelayHost : public TRelayHost
{
public:
    void WriteLog(const QString &message, const QString &prefix = QString()) override
    {
        Log << (prefix.isEmpty() ? message : prefix + u' ' + message);
    }
    void WriteLogBytes(QByteArrayView bytes, const QString &prefix) override
    {
        WriteLog(Win1251ToString(bytes.data(), bytes.size()), prefix);
    }
    void SetStatus(const QString &text, bool alarm) override
    {
        Status = text;
        Alarm = alarm;
    }
    void SetCommand(TCommandState state) override { Command = state; }
    TCommandState CommandState() const override { return Command; }
    void ShowIdle(const QString &logLine) override
    {
        SetCommand(TCommandState::Idle);
        SetStatus(QStringLiteral("Нет подключения"), false);
        WriteLog(logLine);
    }
    // The inputs are the window's: window tests look at them.
    void EnableInputs(bool) override {}
    QString LinkPortName() const override { return PortName; }
    int CableSpeed() const override { return Speed; }

    QStringList Log;
    QString Status;
    bool Alarm = false;
    TCommandState Command = TCommandState::Idle;
    QString PortName;
    int Speed = 19200;
};
