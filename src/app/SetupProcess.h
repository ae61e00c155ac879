#pragma once

#include "platform/SystemError.h"

#include <QString>

#include <sys/types.h>

// The setup program's life as a process: its private copy, its start and its end.

// What a started setup program is known by. hProcess is our child, which we must reap;
// hProcessGroup is the process group it leads, so that whatever it starts itself ends with it.
// Both are 0 while nothing runs.
struct TProcessInformation {
    pid_t hProcess = 0;
    pid_t hProcessGroup = 0;
};

// Copies the regular file source to target, which must not exist yet: an existing file, a
// directory or a symbolic link at target is never written through or replaced. The copy keeps the
// source's permission bits (the executable ones above all). A copy that fails half way is
// removed. False, with the reason, when nothing was copied.
TResult CopySetupProgram(const QString &source, const QString &target);

// How a setup program is started: by itself (an ELF program, a "#!" script), or through Wine (a
// Windows program, whose file begins with "MZ").
enum class TProgramKind { Native, Windows };
TProgramKind ProgramKindOf(const QString &path);
// The wine found on PATH; empty when there is none.
QString FindWine();

// Starts the program at path with the argument list {path} (whole, never cut), workDir as its
// working directory, our environment, in a process group of its own, and only the descriptors 0,
// 1 and 2 inherited. A Windows program is started as {wine, path} with the wine on PATH, and
// WINEDEBUG=-all unless our environment sets WINEDEBUG; it needs no executable bit. False, with the
// reason, when it cannot start (not executable, missing, workDir not usable); info is then left
// clear.
TResult StartSetupProcess(const QString &path, const QString &workDir, TProcessInformation &info);

// Kills the program's process group and its leader, waits for our child so that no zombie stays,
// and clears info. The wait is bounded (about a second); a child that has not ended by then is
// reaped in the background whenever it ends. Harmless when nothing runs or the child has
// already ended.
void TerminateSetupProcess(TProcessInformation &info);
