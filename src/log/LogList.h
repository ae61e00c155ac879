#pragma once

#include "log/LogModel.h"

#include <QAbstractScrollArea>

// The log window's list: one line per row in order of arrival, rows 13 pixels high, a single
// selected line, Ctrl+C copies it as shown. It draws only the rows in sight, straight from the
// TLogModel, and a line added costs it nothing but the scroll bar's new range: a list of a
// million lines stays as light as a short one (a list view would lay all its items out again at
// every insertion).
//
// Screen readers read it as a list of its lines (TLogListAccessible). Its lines are the model's:
// code reads and adds them there.
class TLogList : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int ItemHeight = 13;

    explicit TLogList(QWidget *parent = nullptr);

    TLogModel &Lines() const { return *FLines; }
    QAbstractItemModel *model() const { return FLines; }
    // Makes the last line the top one, as far as the list goes: its last page is shown.
    void ScrollToLastLine();
    // Where the row is drawn in the viewport; empty while it is out of sight.
    QRect RowRect(int row) const;

    int currentRow() const { return FCurrent; }
    void setCurrentRow(int row);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    int VisibleRows() const;
    void UpdateScrollBars();
    void MakeVisible(int row);

    TLogModel *FLines;
    int FCurrent = -1;
    int FWidest = 0; // the widest line drawn so far, for the horizontal scroll bar
};
