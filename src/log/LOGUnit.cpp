#include "log/LOGUnit.h"

#include "controls/Dialogs.h"
#include "log/LogFormat.h"
#include "log/TimeFuncs.h"
#include "settings/SafeFile.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QVBoxLayout>

TLOGForm::TLOGForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("LOGForm"));
    setWindowTitle(QStringLiteral("Данные"));
    setFont(QFont(QStringLiteral("DejaVu Sans"), 8));

    Log = new QListWidget(this);
    Log->setObjectName(QStringLiteral("Log"));
    Log->setSelectionMode(QAbstractItemView::SingleSelection);
    Log->setSortingEnabled(false);
    // All lines have the same height; this keeps a long list cheap to lay out.
    Log->setUniformItemSizes(true);
    Log->setContextMenuPolicy(Qt::CustomContextMenu);

    AutiscrollCheckBox = new QCheckBox(QStringLiteral("Прокрутка"), this);
    AutiscrollCheckBox->setObjectName(QStringLiteral("AutiscrollCheckBox"));
    AutiscrollCheckBox->setChecked(false);
    AutiscrollCheckBox->setFixedHeight(17);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Log, 1);
    auto *bottom = new QVBoxLayout;
    bottom->setContentsMargins(3, 3, 3, 3);
    bottom->addWidget(AutiscrollCheckBox);
    layout->addLayout(bottom);

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    N1 = PopupMenu->addAction(QStringLiteral("Очистить"));
    N1->setObjectName(QStringLiteral("N1"));
    N2 = PopupMenu->addAction(QStringLiteral("Сохранить"));
    N2->setObjectName(QStringLiteral("N2"));
    connect(N1, &QAction::triggered, this, &TLOGForm::N1Click);
    connect(N2, &QAction::triggered, this, &TLOGForm::N2Click);
    connect(Log, &QListWidget::customContextMenuRequested, this, &TLOGForm::ShowPopupMenu);

    SaveDialog = new QFileDialog(this);
    SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setFileMode(QFileDialog::AnyFile);
    SaveDialog->setDefaultSuffix(QStringLiteral("log"));
    SaveDialog->setNameFilters(
        {QStringLiteral("log files (*.log)"), QStringLiteral("all files (*.*)")});
    SaveDialog->setOption(QFileDialog::DontConfirmOverwrite, true);

    resize(635, 300);
}

void TLOGForm::ShowPopupMenu(const QPoint &pos)
{
    PopupMenu->popup(Log->viewport()->mapToGlobal(pos));
}

void TLOGForm::N1Click()
{
    Log->clear();
}

void TLOGForm::N2Click()
{
    QString fileName = TDialogs::Instance().SaveFileName(*SaveDialog);
    if (fileName.isEmpty())
        return;
    // The same rule as the dialog's default suffix: only a name without any dot gets one.
    const QFileInfo info(fileName);
    if (!info.fileName().contains(QLatin1Char('.')))
        fileName += QStringLiteral(".log");

    QByteArray contents;
    for (int row = 0; row < Log->count(); ++row) {
        contents += Log->item(row)->text().toUtf8();
        contents += "\r\n";
    }

    // Written to a temporary file beside the target and renamed over it at the end, so a failed
    // save never leaves an existing file truncated.
    if (const TResult saved = SafeFile::Replace(fileName, contents); !saved) {
        ShowErrorBox(
            this,
            QStringLiteral("Не удалось сохранить файл \"%1\".\n%2").arg(fileName, saved.Reason()));
    }
}

void ScrollLogToEnd(QListWidget &log)
{
    if (log.count() > 0)
        log.scrollToItem(log.item(log.count() - 1), QAbstractItemView::PositionAtTop);
}

void WriteLogTo(TLOGForm &form, const QString &message, const QString &prefix)
{
    if (!form.isVisible())
        return;
    for (const QString &piece : SplitLogMessage(message))
        form.Log->addItem(FormatWindowLogLine(TimeStampString(), prefix, piece));
    if (form.AutiscrollCheckBox->isChecked())
        ScrollLogToEnd(*form.Log);
}

TLogSink TLOGForm::ThreadSink()
{
    return {Log, [this](const QString &line) {
                Log->addItem(line);
                ScrollLogToEnd(*Log);
            }};
}
