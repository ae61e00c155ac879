#include "controls/Dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

TDialogs::~TDialogs() = default;

namespace
{

// Automated runs of the real program (no person to press OK) name a file in
// LINDQVAR_DIALOG_LOG: every box is then appended there as "icon<TAB>caption<TAB>text" and
// answered at once.
bool LogInsteadOfShowing(const QString &caption, const QString &text, TMsgIcon icon)
{
    const QString path = qEnvironmentVariable("LINDQVAR_DIALOG_LOG");
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (file.open(QIODevice::Append | QIODevice::Text)) {
        static const char *const names[] = {"information", "warning", "error"};
        const QString line = QStringLiteral("%1\t%2\t%3\n")
                                 .arg(QLatin1String(names[static_cast<int>(icon)]), caption, text);
        file.write(line.toUtf8());
    }
    return true;
}

} // namespace

void TDialogs::MessageBox(QWidget *parent, const QString &caption, const QString &text,
                          TMsgIcon icon)
{
    if (LogInsteadOfShowing(caption, text, icon))
        return;
    QMessageBox::Icon boxIcon = QMessageBox::Information;
    if (icon == TMsgIcon::Warning)
        boxIcon = QMessageBox::Warning;
    else if (icon == TMsgIcon::Error)
        boxIcon = QMessageBox::Critical;
    QMessageBox box(boxIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

QString TDialogs::SaveFileName(QFileDialog &dialog)
{
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

namespace
{
TDialogs *&current()
{
    static TDialogs *dialogs = nullptr;
    return dialogs;
}
} // namespace

TDialogs &TDialogs::Instance()
{
    static TDialogs standard;
    return current() ? *current() : standard;
}

void TDialogs::SetInstance(TDialogs *dialogs)
{
    current() = dialogs;
}

void ShowErrorBox(QWidget *parent, const QString &text)
{
    TDialogs::Instance().MessageBox(parent, QStringLiteral("Ошибка"), text, TMsgIcon::Error);
}
