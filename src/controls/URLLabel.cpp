#include "controls/URLLabel.h"

#include <QMouseEvent>

TURLLabel::TURLLabel(QWidget *parent) : QLabel(parent)
{
    applyLinkLook();
}

TURLLabel::TURLLabel(const QString &text, QWidget *parent) : QLabel(text, parent)
{
    applyLinkLook();
}

void TURLLabel::applyLinkLook()
{
    // Only the colour and the underline are set here; family and size still follow the window.
    QPalette palette = this->palette();
    // The disabled colour stays the system's grey, so a disabled command looks disabled.
    palette.setColor(QPalette::Active, QPalette::WindowText, Qt::blue);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, Qt::blue);
    setPalette(palette);
    QFont font = this->font();
    font.setUnderline(true);
    setFont(font);
}

void TURLLabel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        FPressed = true;
    QLabel::mousePressEvent(event);
}

void TURLLabel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = FPressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint()) && isEnabled();
    if (event->button() == Qt::LeftButton)
        FPressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}
