#pragma once

#include "log/LogModel.h"

#include <QListView>

#include <memory>

class QListWidgetItem;

// The log window's list: one item per line, in order of arrival, single selection, uniform item
// height, drawn from a TLogModel that formats only the lines in sight. Ctrl+C copies the selected
// line as shown.
//
// It also answers the calls of a list widget that code written for one makes (count, item,
// addItem, addItems, takeItem, currentRow, setCurrentRow): items given that way are lines taken
// as they are.
class TLogList : public QListView
{
    Q_OBJECT

public:
    explicit TLogList(QWidget *parent = nullptr);

    TLogModel &Lines() const { return *FLines; }

    int count() const { return FLines->Count(); }
    // The line at row as an item of its own (text only).
    std::unique_ptr<QListWidgetItem> item(int row) const;
    void addItem(const QString &line);
    void addItems(const QStringList &lines);
    // Takes the line out of the list; the caller owns the item.
    QListWidgetItem *takeItem(int row);
    int currentRow() const;
    void setCurrentRow(int row);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    TLogModel *FLines;
};
