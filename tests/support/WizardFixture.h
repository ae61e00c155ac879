#pragma once

#include "app/Windows.h"
#include "settings/ConnectionType.h"
#include "support/RecordingDialogs.h"
#include "support/TempConfig.h"

#include <QTemporaryDir>

#include <memory>

class TMainLindqvarForm;

// A TCP port on 127.0.0.1 that nothing listens on now.
quint16 FreeTcpPort();

// The wizard's four windows in a private world: their own config and runtime directories, an
// empty discovery tree, a program directory of their own (for setup.ini), and message boxes
// that are answered at once and recorded.
class TWizardFixture
{
public:
    TWizardFixture();
    ~TWizardFixture();

    // Creates the windows as the program does at start; the main window is shown.
    [[nodiscard]] bool Start();
    // Starts the windows with a link's choices made: the port com of the port map, the
    // connection type, and a free TCP port for the endpoint (ServerPort); the log window shown
    // unless showLog is false.
    [[nodiscard]] bool StartOnPort(const QString &com, TConnectionType type, bool showLog = true);
    // Makes a started wizard's link choices: the port com, the type, a free TCP port for the
    // endpoint (ServerPort). False when the port is not listed.
    [[nodiscard]] bool ChooseLink(const QString &com, TConnectionType type);
    // Closes the main window as the user would, then destroys the windows.
    void Stop();

    TMainLindqvarForm &Main() const;
    QString ProgramDir() const { return FProgramDir.path() + QLatin1Char('/'); }
    // Copies the setup stand-in (lindqvar-setup-demo, or the tool named, e.g. its Windows build
    // lindqvar-setup-demo.exe) into the program directory under the given name and lists it in
    // setup.ini for the model DEMO that lindqvar-device reports; a copy started by the wizard
    // takes demoOptions, in which %1 stands for ServerPort.
    [[nodiscard]] bool
    InstallSetupDemo(const QString &demoOptions = QString(),
                     const QString &name = QStringLiteral("DemoSetup"),
                     const QString &tool = QStringLiteral("lindqvar-setup-demo"));
    // Writes setup.ini in the program directory.
    [[nodiscard]] bool WriteSetupIni(const QByteArray &text) const;
    // A TCP port that nothing listens on now; also put into the TCP port dialog.
    quint16 UseFreeServerPort();
    // Shows the log window, so that the window thread's lines are recorded.
    void ShowLog();
    // The log lines recorded so far, and whether one of them ends with the text.
    QStringList LogLines() const;
    bool LogHas(const QString &ending) const;
    // Replaces Lindqvar.conf with this text (INI).
    [[nodiscard]] bool WriteSettings(const QByteArray &ini) const;
    QByteArray ReadSettings() const;

    TTempConfig Config;
    TRecordingDialogs Dialogs;
    std::unique_ptr<TLindqvarWindows> Windows;
    quint16 ServerPort = 0;

private:
    QTemporaryDir FProgramDir;
};
