#include "settings/DialogLook.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
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

QLabel *MakeDialogLabel(QWidget *dialog, const char *name, const QString &text, int x, int y)
{
    auto *label = new QLabel(text, dialog);
    label->setObjectName(QLatin1String(name));
    label->move(x, y);
    label->adjustSize();
    return label;
}

QPushButton *MakeSaveButton(QWidget *dialog, const char *name, int x, int y)
{
    auto *button = new QPushButton(QStringLiteral("Сохранить"), dialog);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(x, y, 75, 25);
    button->setAutoDefault(false);
    return button;
}

int FieldNumber(const QString &text, int fallback, int lowest, int highest)
{
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber && number >= lowest && number <= highest ? number : fallback;
}
