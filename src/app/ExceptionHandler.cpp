#include "app/ExceptionHandler.h"

#include "controls/Dialogs.h"

void ShowException(const std::exception &error)
{
    TDialogs::Instance().MessageBox(QApplication::activeWindow(), QApplication::applicationName(),
                                    QString::fromUtf8(error.what()), TMsgIcon::Error);
}

TLindqvarApplication::TLindqvarApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Lindqvar"));
    setOrganizationName(QStringLiteral("Varo"));
    // The main window's close ends the program even while another window is shown.
    setQuitOnLastWindowClosed(false);
}

bool TLindqvarApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        ShowException(error);
    }
    return false;
}
