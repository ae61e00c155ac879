#include "log/LogList.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidgetItem>

TLogList::TLogList(QWidget *parent) : QListView(parent), FLines(new TLogModel(this))
{
    setModel(FLines);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // All lines have the same height; a long list costs nothing to lay out.
    setUniformItemSizes(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
}

std::unique_ptr<QListWidgetItem> TLogList::item(int row) const
{
    if (row < 0 || row >= count())
        return nullptr;
    return std::make_unique<QListWidgetItem>(FLines->Line(row));
}

void TLogList::addItem(const QString &line)
{
    FLines->AppendText(line);
    FLines->Publish();
}

void TLogList::addItems(const QStringList &lines)
{
    for (const QString &line : lines)
        FLines->AppendText(line);
    FLines->Publish();
}

QListWidgetItem *TLogList::takeItem(int row)
{
    if (row < 0 || row >= count())
        return nullptr;
    auto *taken = new QListWidgetItem(FLines->Line(row));
    FLines->RemoveLine(row);
    return taken;
}

int TLogList::currentRow() const
{
    return currentIndex().isValid() ? currentIndex().row() : -1;
}

void TLogList::setCurrentRow(int row)
{
    FLines->Publish();
    setCurrentIndex(FLines->index(row));
}

void TLogList::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (currentIndex().isValid())
            QGuiApplication::clipboard()->setText(FLines->ShownLine(currentIndex().row()));
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}
