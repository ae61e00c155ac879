#pragma once

#include "platform/SystemError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Which setup program belongs to a device: the model key taken from the device's identification
// reply, and its lookup in "setup.ini" (lines name=value; the value names the stored program).
// Everything here is pure and bounded, so that a broken or hostile file or reply costs at most a
// linear pass over a capped amount of input.

// At most this many bytes of "setup.ini" take part in the lookup. A longer file is cut there and
// its last, cut line is dropped, so a value can never be a truncated prefix of the real one.
inline constexpr qsizetype SetupIniMaxBytes = 1024 * 1024;

// The model key of an identification reply (bytes of the device, one character per byte in
// Windows-1251): every '"' removed; everything up to and including the first comma removed (none
// without a comma); leading characters with codes 1 to 32 skipped; the token runs up to the next
// comma or character with code 0 to 32; the key is the token's part before its first '.', empty
// when the token holds no '.'. *hasToken is false when nothing but characters with codes 0 to 32
// remains after the first comma: such a reply names no model at all and must not be looked up.
QString ModelKeyFromReply(const QByteArray &verInfo, bool *hasToken = nullptr);

// The text of "setup.ini": a UTF-8, UTF-16 LE or UTF-16 BE byte-order mark is honoured, otherwise
// the bytes are UTF-8. Only the first SetupIniMaxBytes count (see above).
QString DecodeSetupIni(const QByteArray &iniBytes);

// The lines of "setup.ini"; a line ends at CR, LF or CR LF. Nothing is trimmed.
QStringList SetupIniLines(const QByteArray &iniBytes);

// Whether a "setup.ini" value may name a file: the value becomes one file name in the program's
// directory and, with ".exe", one in the private temporary directory. Refused: empty, "." and
// "..", a '/', any control character (NUL included), and names too long for the file system.
// Blanks, also trailing ones, are part of the name and are kept.
bool IsSafeSetupValue(const QString &value);

enum class SetupLookup {
    Found,     // the first line with that name has a usable value
    NotListed, // no line with that name
    Refused,   // the first line with that name has a value IsSafeSetupValue() refuses
};

// The value of the first line, in file order, that contains '=' and whose name (the part before
// its first '=') equals key without regard to letter case. Nothing is trimmed, so a blank before
// or after a name is part of it; an empty key matches only a line that begins with '='. Only the
// first matching line counts: when its value is refused, the lookup fails. *found is true only
// for a usable value; *outcome (optional) tells the three cases apart for the log.
QString LookupSetupProgram(const QByteArray &iniBytes, const QString &key, bool *found,
                           SetupLookup *outcome = nullptr);

// Reads "setup.ini" at path: false with the reason when it is not a regular file (a directory or
// a device of that name does not count) or cannot be read. Reads at most one byte more than
// SetupIniMaxBytes, enough for the lookup to see that the file was cut.
TResult ReadSetupIni(const QString &path, QByteArray &bytes);
