#pragma once

#include "app/Windows.h"
#include "support/RecordingDialogs.h"
#include "support/TempConfig.h"

#include <QTemporaryDir>

#include <memory>

class TMainLindqvarForm;

// The wizard's four windows in a private world: their own config and runtime directories, an
// empty discovery tree, a program directory of their own (for setup.ini), and message boxes
// that are answered at once and recorded.
class TWizardFixture
{
public:
    TWizardFixture();
    ~TWizardFixture();

    // Creates the windows as the program does at start; the main window is shown.
    void Start();
    // Closes the main window as the user would, then destroys the windows.
    void Stop();

    TMainLindqvarForm &Main() const;
    QString ProgramDir() const { return FProgramDir.path() + QLatin1Char('/'); }
    // Replaces Lindqvar.conf with this text (INI).
    void WriteSettings(const QByteArray &ini) const;
    QByteArray ReadSettings() const;

    TTempConfig Config;
    TRecordingDialogs Dialogs;
    std::unique_ptr<TLindqvarWindows> Windows;

private:
    QTemporaryDir FProgramDir;
};
