#pragma once

#include <QString>

#include <iterator>

// The connection command's states, each with its caption: "Подключить", "Отмена подключения",
// "Отключить", "Переподключить".
enum class TCommandState : int {
    Idle = 0,       // a click connects
    Connecting = 1, // a dialer runs, or the cable port did not open: a click cancels
    Connected = 2,  // a link runs: a click disconnects
    Broken = 3,     // a modem result text ended the link: a click dials again
};

// The caption the command shows in a state.
inline QString CommandCaption(TCommandState state)
{
    static const QString captions[] = {
        QStringLiteral("Подключить"), QStringLiteral("Отмена подключения"),
        QStringLiteral("Отключить"), QStringLiteral("Переподключить")};
    static_assert(std::size(captions) == static_cast<std::size_t>(TCommandState::Broken) + 1);
    return captions[static_cast<int>(state)];
}
