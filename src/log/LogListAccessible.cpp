#include "log/LogListAccessible.h"

#include "log/LogList.h"

#include <utility>

namespace
{

// One line of the list.
class TLogLineAccessible : public QAccessibleInterface
{
public:
    TLogLineAccessible(TLogListAccessible *list, int row) : FList(list), FRow(row) {}

    bool isValid() const override
    {
        return FList->isValid() && FRow < FList->List()->Lines().rowCount();
    }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return FList->window(); }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override { return FList; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name && isValid() ? FList->List()->Lines().ShownLine(FRow)
                                                   : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        const TLogList *list = FList->List();
        const QRect row = list->RowRect(FRow);
        return row.isEmpty() ? QRect()
                             : QRect(list->viewport()->mapToGlobal(row.topLeft()), row.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        const TLogList *list = FList->List();
        state.selectable = true;
        state.focusable = true;
        state.selected = list->currentRow() == FRow;
        state.focused = state.selected && list->hasFocus();
        state.invisible = list->RowRect(FRow).isEmpty();
        state.offscreen = state.invisible;
        return state;
    }

private:
    TLogListAccessible *FList;
    int FRow;
};

QAccessibleInterface *Make(const QString &className, QObject *object)
{
    if (className == QLatin1String("TLogList") && object != nullptr && object->isWidgetType())
        return new TLogListAccessible(static_cast<TLogList *>(object));
    return nullptr;
}

} // namespace

TLogListAccessible::TLogListAccessible(TLogList *list) : QAccessibleWidget(list, QAccessible::List)
{
    // Rows taken out or all lines cleared: the items made no longer match their rows. (The
    // list outlives this interface's connections: Qt deletes the interface with the list.)
    QObject::connect(list->model(), &QAbstractItemModel::rowsRemoved, list,
                     [this] { ForgetItems(); });
    QObject::connect(list->model(), &QAbstractItemModel::modelReset, list,
                     [this] { ForgetItems(); });
}

TLogListAccessible::~TLogListAccessible()
{
    ForgetItems();
}

void TLogListAccessible::Install()
{
    static const bool installed = [] {
        QAccessible::installFactory(Make);
        return true;
    }();
    (void)installed;
}

TLogList *TLogListAccessible::List() const
{
    return static_cast<TLogList *>(widget());
}

void TLogListAccessible::ForgetItems()
{
    const std::map<int, QAccessible::Id> items = std::exchange(FItems, {});
    for (const auto &[row, id] : items)
        QAccessible::deleteAccessibleInterface(id);
}

int TLogListAccessible::childCount() const
{
    return List()->Lines().rowCount();
}

QAccessibleInterface *TLogListAccessible::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    if (const auto found = FItems.find(index); found != FItems.end())
        return QAccessible::accessibleInterface(found->second);
    auto *item = new TLogLineAccessible(const_cast<TLogListAccessible *>(this), index);
    FItems.emplace(index, QAccessible::registerAccessibleInterface(item));
    return item;
}

int TLogListAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    for (const auto &[row, id] : FItems) {
        if (QAccessible::accessibleInterface(id) == child)
            return row;
    }
    return -1;
}

QAccessibleInterface *TLogListAccessible::focusChild() const
{
    const TLogList *list = List();
    return list->hasFocus() && list->currentRow() >= 0 ? child(list->currentRow()) : nullptr;
}

void TLogListAccessible::SelectedLineChanged(TLogList *list)
{
    if (!QAccessible::isActive() || list->currentRow() < 0)
        return;
    QAccessibleEvent selection(list, QAccessible::Selection);
    selection.setChild(list->currentRow());
    QAccessible::updateAccessibility(&selection);
    if (list->hasFocus()) {
        QAccessibleEvent focus(list, QAccessible::Focus);
        focus.setChild(list->currentRow());
        QAccessible::updateAccessibility(&focus);
    }
}
