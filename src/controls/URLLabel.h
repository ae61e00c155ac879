#pragma once

#include <QLabel>

// A text label that looks like a hyperlink: blue, underlined, no hover effect. It reports a
// left-button click (press and release on the label) with clicked(); a disabled label reports
// nothing, as a disabled control takes no clicks.
class TURLLabel : public QLabel
{
    Q_OBJECT

public:
    explicit TURLLabel(QWidget *parent = nullptr);
    explicit TURLLabel(const QString &text, QWidget *parent = nullptr);

    // Free integer for the owner; the main window keeps its command state here.
    int Tag = 0;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void applyLinkLook();

    bool FPressed = false;
};
