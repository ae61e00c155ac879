#include "log/LOGUnit.h"

#include "controls/Dialogs.h"
#include "log/LogFormat.h"
#include "settings/SafeFile.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QVBoxLayout>

#include <type_traits>

TLOGForm::TLOGForm(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("LOGForm"));
    setWindowTitle(QStringLiteral("Данные"));
    setFont(QFont(QStringLiteral("DejaVu Sans"), 8));

    Log = new TLogList(this);
    Log->setObjectName(QStringLiteral("Log"));

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
    N3 = PopupMenu->addAction(QStringLiteral("Шестнадцатеричный вид"));
    N3->setObjectName(QStringLiteral("N3"));
    N3->setCheckable(true);
    N3->setChecked(false);
    connect(N1, &QAction::triggered, this, &TLOGForm::N1Click);
    connect(N2, &QAction::triggered, this, &TLOGForm::N2Click);
    connect(N3, &QAction::toggled, this, [this](bool on) { Log->Lines().SetHexView(on); });
    connect(Log, &QWidget::customContextMenuRequested, this, &TLOGForm::ShowPopupMenu);

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
    Log->Lines().Clear();
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

    // Written to a temporary file beside the target and renamed over it at the end, so a failed
    // save never leaves an existing file truncated.
    const TLogModel &lines = Log->Lines();
    if (const TResult saved = SafeFile::Replace(
            fileName,
            [&lines](const SafeFile::TContentWriter &write) { return lines.WriteText(write); });
        !saved) {
        ShowErrorBox(
            this,
            QStringLiteral("Не удалось сохранить файл \"%1\".\n%2").arg(fileName, saved.Reason()));
    }
}

void ScrollLogToEnd(TLogList &log)
{
    if (log.Lines().Count() > 0)
        log.ScrollToLastLine();
}

namespace
{

// Each piece of the message as a line of the window's writer, then the scroll to the end when
// the autoscroll box is checked.
template <typename TView> void WritePieces(TLOGForm &form, TView message, const QString &prefix)
{
    if (!form.isVisible())
        return;
    TLogModel &lines = form.Log->Lines();
    ForEachLogPiece(message, [&](TView piece) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if constexpr (std::is_same_v<TView, QByteArrayView>)
            lines.AppendBytes(TLogEntry::TWriter::Window, now, prefix, piece);
        else
            lines.Append(TLogEntry::TWriter::Window, now, prefix, piece);
    });
    if (form.AutiscrollCheckBox->isChecked())
        ScrollLogToEnd(*form.Log);
}

} // namespace

void WriteLogTo(TLOGForm &form, const QString &message, const QString &prefix)
{
    WritePieces(form, QStringView(message), prefix);
}

void WriteLogBytesTo(TLOGForm &form, QByteArrayView bytes, const QString &prefix)
{
    WritePieces(form, bytes, prefix);
}

TLogSink TLOGForm::ThreadSink()
{
    return {Log, [this](const TLogEntry &entry) {
                Log->Lines().Append(entry);
                ScrollLogToEnd(*Log);
            }};
}
