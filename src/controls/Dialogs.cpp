#include "controls/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

TDialogs::~TDialogs() = default;

void TDialogs::MessageBox(QWidget *parent, const QString &caption, const QString &text,
                          TMsgIcon icon)
{
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
