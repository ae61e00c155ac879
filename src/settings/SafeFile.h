#pragma once

#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/types.h>

// Replacing a file the user relies on (the settings, the port map, a saved log) as a whole.
namespace SafeFile
{

// Writes content to a new file beside path, checks that every byte was taken and reached the
// disk, and renames it over path. On any failure path keeps its former content whole and error
// holds the system's reason. A new file gets newFileMode less the process's umask; an existing
// one keeps its permission bits. A link is followed: its target gets the new content.
//
// QSaveFile is not used for this: when the disk takes only part of the data (a full disk, a
// file size limit), Qt 6.4 counts the part as written and commits a truncated file.
TResult Replace(const QString &path, const QByteArray &content, mode_t newFileMode = 0644);

// The same with the content made piece by piece: produce is called with a writer for the pieces
// and returns false when it gave up (the writer's own false included: the write failed).
using TContentWriter = std::function<bool(const QByteArray &piece)>;
TResult Replace(const QString &path, const std::function<bool(const TContentWriter &)> &produce,
                mode_t newFileMode = 0644);

} // namespace SafeFile
