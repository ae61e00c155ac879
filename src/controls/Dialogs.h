#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// Every message box and modal dialog of the program goes through this one interface, so that
// tests can answer them without a person. The default shows a QMessageBox / runs the dialog.
enum class TMsgIcon { Information, Warning, Error };

class TDialogs
{
public:
    virtual ~TDialogs();

    // A modal box with one OK button; returns when the user has closed it.
    virtual void MessageBox(QWidget *parent, const QString &caption, const QString &text,
                            TMsgIcon icon);
    // Runs a configured file-save dialog; the chosen file (with the default suffix applied), or
    // empty when the user cancels.
    virtual QString SaveFileName(QFileDialog &dialog);

    // The dialogs in use. Tests install their own; nullptr restores the default.
    static TDialogs &Instance();
    static void SetInstance(TDialogs *dialogs);
};

// The message box of a command that cannot go on: caption "Ошибка", the error icon, one OK.
void ShowErrorBox(QWidget *parent, const QString &text);
