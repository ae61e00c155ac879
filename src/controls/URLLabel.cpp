#include "controls/URLLabel.h"

#include "controls/URLLabelAccessible.h"

#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

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
    TURLLabelAccessible::Install();
    setFocusPolicy(Qt::StrongFocus);
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

void TURLLabel::Activate()
{
    if (isEnabled())
        emit clicked();
}

void TURLLabel::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        // A key held down runs the command once.
        if (!event->isAutoRepeat())
            Activate();
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

void TURLLabel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // The focus frame around the caption, as the style draws it for its own controls.
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect =
        fontMetrics().boundingRect(contentsRect(), int(alignment()), text()).adjusted(-1, 0, 1, 0) &
        rect();
    option.backgroundColor = palette().color(QPalette::Window);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void TURLLabel::focusOutEvent(QFocusEvent *event)
{
    // Disabled while focused: Qt has moved the focus on already.
    FFocusBack = !isEnabled();
    QLabel::focusOutEvent(event);
}

void TURLLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() != QEvent::EnabledChange || !isEnabled() || !FFocusBack)
        return;
    FFocusBack = false;
    const QWidget *focused = window()->focusWidget();
    if (focused == nullptr || !focused->isEnabled() || !focused->hasFocus())
        setFocus(Qt::OtherFocusReason);
}
