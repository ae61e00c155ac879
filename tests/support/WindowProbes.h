#pragma once

#include <QColor>
#include <QString>

#include <sys/types.h>

class TMainLindqvarForm;

// Small looks at the wizard and its children that several window tests share.

// The status label's text colour.
QColor StatusColor(const TMainLindqvarForm &w);
// The process runs (a zombie counts as running until it is reaped).
bool ProcessIsAlive(pid_t pid);
// The process is gone and reaped: no such process any more.
bool ProcessIsGone(pid_t pid);
// A link relays, and its setup program has connected to the endpoint.
bool SetupProgramConnected(const TMainLindqvarForm &w);
// The setup program of a link, as a test notes it while the link runs: its process, its process
// group, the private copy it runs from, and for the setup stand-in the "RESULT ..." line of its
// transcript.
struct TSetupProgram {
    pid_t Pid = 0;
    pid_t Group = 0;
    QString Copy;
    QString Result;
};
// A link relays with its setup program started, and when a transcript is named the stand-in has
// written its result there: true, with the program noted.
bool NoteSetupProgram(TMainLindqvarForm &w, TSetupProgram &program,
                      const QString &transcript = QString());
// Starts a link and closes the window as the user would once the link relays with its setup
// program connected. True when the close ended the link: the setup program ended and its copy is
// gone, the port is free and the endpoint stopped; else the first difference is recorded as a
// failure of the running test.
[[nodiscard]] bool CloseEndsTheLink(TMainLindqvarForm &w);
// The "RESULT ..." line of a setup stand-in's transcript, or empty while it has none yet.
QString SetupDemoResult(const QString &transcript);
// A running wizard holds the single-instance lock now.
bool InstanceLockIsHeld();
// The port opens now (nobody holds it) and is closed again.
bool PortCanBeOpened(const QString &com);
// The window is idle after a link or an attempt: the command "Подключить", enabled; the status
// text in its colour; all four inputs enabled; the selected port free for others (so the window
// holds it no more); the endpoint stopped. Records the first difference as a failure of the
// running test and returns false, so that QVERIFY(ExpectIdle(w)) stops the test there.
bool ExpectIdle(TMainLindqvarForm &w, const QString &status = QStringLiteral("Нет подключения"),
                bool alarm = false);

class TWizardFixture;
// Runs the chosen cable link with a setup program that makes 30 exchanges with the device,
// carrying all 256 byte values (0xFF among them), the COM speed dialog at 57600; the user
// disconnects once they are done. True when every exchange came back right and the window is
// idle again; else the first difference is recorded as a failure of the running test. speed is
// the device file's line speed (LineSpeedOf) while the link ran.
[[nodiscard]] bool RelayThirtyExchanges(TWizardFixture &world, const QString &device, int &speed);
