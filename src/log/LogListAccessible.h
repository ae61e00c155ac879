#pragma once

#include <QAccessibleWidget>

#include <map>

class TLogList;

// What assistive technology sees of the log window's list: a list whose items are the log's
// lines as shown (the hex view applied), the selected one focused while the list has focus. The
// list draws its rows itself, so the rows are made items here, on demand: only lines a screen
// reader asks for get an interface, and a list of a million lines costs nothing until then.
class TLogListAccessible : public QAccessibleWidget
{
public:
    explicit TLogListAccessible(TLogList *list);
    ~TLogListAccessible() override;

    // Makes Qt's accessibility ask this class for every TLogList (once per process).
    static void Install();
    // Tells assistive technology that the selected line changed.
    static void SelectedLineChanged(TLogList *list);

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *focusChild() const override;

    TLogList *List() const;

private:
    // Forgets the items made so far: their rows no longer hold the same lines.
    void ForgetItems();

    mutable std::map<int, QAccessible::Id> FItems;
};
