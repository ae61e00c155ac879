#pragma once

#include <QString>

// The file version of a program file, or empty. Linux executables carry no version resource:
// the version of our own executable is the project version compiled into it; any other file
// has none.
QString ReadFileVersion(const QString &path);
