#pragma once

#include <QLabel>

// A text label that looks like a hyperlink: blue, underlined, no hover effect. It reports a
// left-button click (press and release on the label) with clicked(); a disabled label reports
// nothing, as a disabled control takes no clicks.
//
// It is a command for the keyboard and for screen readers too: it takes focus (Tab) and shows it
// with the style's focus frame, Enter or Space runs it, and assistive technology sees a button
// named by its caption with a press action (TURLLabelAccessible). A command disables itself while
// it runs; the keyboard's focus comes back to it when it is enabled again.
class TURLLabel : public QLabel
{
    Q_OBJECT

public:
    explicit TURLLabel(QWidget *parent = nullptr);
    explicit TURLLabel(const QString &text, QWidget *parent = nullptr);

    // Runs the command as a click does, unless the label is disabled.
    void Activate();

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void applyLinkLook();

    bool FPressed = false;
    // The label lost the focus because it was disabled (its command running): it takes the
    // focus back when it is enabled again, unless the user has moved on meanwhile.
    bool FFocusBack = false;
};
