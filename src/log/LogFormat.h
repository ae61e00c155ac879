#pragma once

#include <QString>
#include <QStringList>

// Line formats and line splitting shared by the two log writers.

// The pieces a message goes into the log as. A message without a carriage return is one piece,
// line feeds included. Otherwise it is split at every CR LF, lone CR and lone LF; a break at the
// very end adds no empty piece, while a break at the start or two breaks in a row give one.
QStringList SplitLogMessage(const QString &message);

// A line of the window's own writer: "<timestamp>: <prefix> <text>" (two blanks after the
// colon when the prefix is empty).
QString FormatWindowLogLine(const QString &timestamp, const QString &prefix, const QString &text);

// A line of the dialer thread: "<timestamp>:<prefix> <text>" (no blank after the colon).
QString FormatThreadLogLine(const QString &timestamp, const QString &prefix, const QString &text);
