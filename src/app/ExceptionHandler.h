#pragma once

#include <QApplication>

#include <exception>
#include <utility>

// The application's top-level error handler: an error that escapes a command is shown in the
// standard error box with its text, and the program goes on.
void ShowException(const std::exception &error);

// Runs an event handler at the boundary of the event loop, catching what it raises.
template <typename Handler> void Guarded(Handler &&handler)
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception &error) {
        ShowException(error);
    }
}

// The application object. Errors that escape any event handler end in ShowException instead
// of unwinding through the event loop.
class TLindqvarApplication : public QApplication
{
public:
    TLindqvarApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};
