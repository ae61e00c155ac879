#include "settings/DialogLook.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void ApplySettingsDialogLook(QWidget *dialog, int clientWidth, int clientHeight)
{
    // DejaVu Sans at 8 pt stands in for the designed Tahoma.
    dialog->setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
    dialog->setFixedSize(clientWidth, clientHeight);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        dialog->move(area.center() - QPoint(clientWidth / 2, clientHeight / 2));
    }
}
