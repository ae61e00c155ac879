#include "log/LogList.h"

#include "log/LogListAccessible.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace
{

constexpr int TextMargin = 3;

} // namespace

TLogList::TLogList(QWidget *parent) : QAbstractScrollArea(parent), FLines(new TLogModel(this))
{
    TLogListAccessible::Install();
    setContextMenuPolicy(Qt::CustomContextMenu);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(8);
    const auto changed = [this] {
        UpdateScrollBars();
        viewport()->update();
    };
    connect(FLines, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first) {
                UpdateScrollBars();
                // Only rows that come into sight are drawn again.
                const int top = verticalScrollBar()->value();
                if (first <= top + VisibleRows())
                    viewport()->update();
            });
    connect(FLines, &QAbstractItemModel::rowsRemoved, this,
            [this, changed](const QModelIndex &, int first, int last) {
                if (FCurrent >= first)
                    FCurrent = FCurrent > last ? FCurrent - (last - first + 1) : -1;
                changed();
            });
    connect(FLines, &QAbstractItemModel::modelReset, this, [this, changed] {
        FCurrent = -1;
        FWidest = 0;
        changed();
    });
    connect(FLines, &QAbstractItemModel::dataChanged, viewport(), qOverload<>(&QWidget::update));
}

int TLogList::VisibleRows() const
{
    return std::max(1, viewport()->height() / ItemHeight);
}

void TLogList::UpdateScrollBars()
{
    const int rows = FLines->rowCount();
    QScrollBar *vertical = verticalScrollBar();
    vertical->setPageStep(VisibleRows());
    vertical->setRange(0, std::max(0, rows - VisibleRows()));
    QScrollBar *horizontal = horizontalScrollBar();
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, std::max(0, FWidest + 2 * TextMargin - viewport()->width()));
}

void TLogList::ScrollToLastLine()
{
    FLines->Publish();
    UpdateScrollBars();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QRect TLogList::RowRect(int row) const
{
    const int top = verticalScrollBar()->value();
    if (row < top || row >= std::min(FLines->rowCount(), top + VisibleRows() + 1))
        return {};
    return QRect(0, (row - top) * ItemHeight, viewport()->width(), ItemHeight) & viewport()->rect();
}

void TLogList::MakeVisible(int row)
{
    QScrollBar *vertical = verticalScrollBar();
    if (row < vertical->value())
        vertical->setValue(row);
    else if (row >= vertical->value() + VisibleRows())
        vertical->setValue(row - VisibleRows() + 1);
}

void TLogList::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const int left = horizontalScrollBar()->value();
    const int rows = FLines->rowCount();
    const int last = std::min(rows, top + VisibleRows() + 1);
    const QFontMetrics metrics = fontMetrics();
    const int baseline = (ItemHeight - metrics.height()) / 2 + metrics.ascent();
    int widest = FWidest;
    for (int row = top; row < last; ++row) {
        const QRect band(0, (row - top) * ItemHeight, viewport()->width(), ItemHeight);
        const bool current = row == FCurrent;
        if (current)
            painter.fillRect(band, palette().brush(QPalette::Highlight));
        painter.setPen(palette().color(current ? QPalette::HighlightedText : QPalette::Text));
        const QString text = FLines->ShownLine(row);
        painter.drawText(TextMargin - left, band.top() + baseline, text);
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    if (widest != FWidest) {
        FWidest = widest;
        UpdateScrollBars();
    }
}

void TLogList::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void TLogList::scrollContentsBy(int, int)
{
    viewport()->update();
}

void TLogList::mousePressEvent(QMouseEvent *event)
{
    const int row = verticalScrollBar()->value() + int(event->position().y()) / ItemHeight;
    if (event->button() == Qt::LeftButton && row < FLines->rowCount())
        setCurrentRow(row);
    QAbstractScrollArea::mousePressEvent(event);
}

void TLogList::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (FCurrent >= 0)
            QGuiApplication::clipboard()->setText(FLines->ShownLine(FCurrent));
        event->accept();
        return;
    }
    const int rows = FLines->rowCount();
    int row = FCurrent;
    switch (event->key()) {
    case Qt::Key_Up:
        row = std::max(0, row - 1);
        break;
    case Qt::Key_Down:
        row = std::min(rows - 1, row + 1);
        break;
    case Qt::Key_PageUp:
        row = std::max(0, row - VisibleRows());
        break;
    case Qt::Key_PageDown:
        row = std::min(rows - 1, row + VisibleRows());
        break;
    case Qt::Key_Home:
        row = 0;
        break;
    case Qt::Key_End:
        row = rows - 1;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (rows > 0)
        setCurrentRow(row);
    event->accept();
}

void TLogList::setCurrentRow(int row)
{
    FLines->Publish();
    FCurrent = row >= 0 && row < FLines->rowCount() ? row : -1;
    if (FCurrent >= 0)
        MakeVisible(FCurrent);
    viewport()->update();
    TLogListAccessible::SelectedLineChanged(this);
}
