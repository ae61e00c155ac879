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
// The "RESULT ..." line of a setup stand-in's transcript, or empty while it has none yet.
QString SetupDemoResult(const QString &transcript);
