#pragma once

#include <QAccessibleWidget>

class TURLLabel;

// What assistive technology sees of a TURLLabel: a button named by the label's caption (which
// changes with the command's state, "Подключить" or "Отмена подключения"), with a press action
// that runs the command as a click does.
class TURLLabelAccessible : public QAccessibleWidget
{
public:
    explicit TURLLabelAccessible(TURLLabel *label);

    // Makes Qt's accessibility ask this class for every TURLLabel (once per process).
    static void Install();

    QString text(QAccessible::Text t) const override;
    QStringList actionNames() const override;
    void doAction(const QString &actionName) override;

private:
    TURLLabel *Label() const;
};
