#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>

// Line formats and line splitting shared by the two log writers.

// The pieces a message goes into the log as. A message without a carriage return is one piece,
// line feeds included. Otherwise it is split at every CR LF, lone CR and lone LF; a break at the
// very end adds no empty piece, while a break at the start or two breaks in a row give one.
QStringList SplitLogMessage(const QString &message);
// The same pieces, handed one by one to piece as views into the message (nothing is copied).
void ForEachLogPiece(QStringView message, const std::function<void(QStringView piece)> &piece);

// A line of the window's own writer: "<timestamp>: <prefix> <text>" (two blanks after the
// colon when the prefix is empty).
QString FormatWindowLogLine(const QString &timestamp, const QString &prefix, const QString &text);

// A line of the dialer thread: "<timestamp>:<prefix> <text>" (no blank after the colon).
QString FormatThreadLogLine(const QString &timestamp, const QString &prefix, const QString &text);
