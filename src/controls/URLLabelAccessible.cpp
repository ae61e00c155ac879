#include "controls/URLLabelAccessible.h"

#include "controls/URLLabel.h"

namespace
{

QAccessibleInterface *Make(const QString &className, QObject *object)
{
    if (className == QLatin1String("TURLLabel") && object != nullptr && object->isWidgetType())
        return new TURLLabelAccessible(static_cast<TURLLabel *>(object));
    return nullptr;
}

} // namespace

TURLLabelAccessible::TURLLabelAccessible(TURLLabel *label)
    : QAccessibleWidget(label, QAccessible::Button)
{
}

void TURLLabelAccessible::Install()
{
    static const bool installed = [] {
        QAccessible::installFactory(Make);
        return true;
    }();
    (void)installed;
}

TURLLabel *TURLLabelAccessible::Label() const
{
    return static_cast<TURLLabel *>(widget());
}

QString TURLLabelAccessible::text(QAccessible::Text t) const
{
    // The caption is the name unless the owner gave another.
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
        return Label()->text();
    return QAccessibleWidget::text(t);
}

QStringList TURLLabelAccessible::actionNames() const
{
    return QStringList{pressAction()} + QAccessibleWidget::actionNames();
}

void TURLLabelAccessible::doAction(const QString &actionName)
{
    if (actionName == pressAction())
        Label()->Activate();
    else
        QAccessibleWidget::doAction(actionName);
}
