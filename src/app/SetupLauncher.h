#pragma once

#include "app/SetupProcess.h"

#include <QByteArray>
#include <QString>

#include <functional>

class QWidget;

// The setup program's life for the links of the main window: its look-up in setup.ini beside
// the program by the model the device reported, its private copy, its start (by itself, or a
// Windows program through Wine), its end and the removal of its copy. A program left running
// after a modem link is kept, and the next start does nothing.
class TSetupLauncher
{
public:
    using TLogWriter = std::function<void(const QString &message)>;

    // The message boxes of a start that cannot go on are shown over boxParent; log lines go to
    // log.
    TSetupLauncher(QWidget *boxParent, TLogWriter log);
    // Ends a program still running.
    ~TSetupLauncher();
    TSetupLauncher(const TSetupLauncher &) = delete;
    TSetupLauncher &operator=(const TSetupLauncher &) = delete;

    // Starts the setup program of the device whose identification reply is verInfo, unless one
    // runs already. Nothing starts when the temporary directory or setup.ini is missing (a box
    // says so), when the reply names no model, when setup.ini lists none for it, or when its
    // file cannot be copied or started (the log says why); Started() tells.
    void Launch(const QByteArray &verInfo);
    // Ends the program with its process group and removes its copy; nothing when none runs.
    void Terminate();

    bool Started() const { return FSetupIsStarted; }
    // The running program (zeros while none runs) and the copy it was started from.
    const TProcessInformation &Process() const { return FSetupProcInfo; }
    const QString &File() const { return FSetupFile; }

    // Tests put the launcher into the state a running program leaves.
    struct TTestAccess;

private:
    // Copies the stored program into the temporary directory unless a copy is there already;
    // the path to start, empty when there is none (the log says why). copiedNow tells whether
    // this call made the copy.
    QString PrepareCopy(const QString &stored, const QString &tempDir, const QString &value,
                        bool &copiedNow);

    QWidget *FBoxParent;
    TLogWriter FLog;
    TProcessInformation FSetupProcInfo;
    bool FSetupIsStarted = false;
    QString FSetupFile;
};
