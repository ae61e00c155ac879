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
