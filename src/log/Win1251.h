#pragma once

#include <QByteArray>
#include <QString>

// Byte strings as text, one character per byte, through the Cyrillic single-byte code page
// Windows-1251. Relayed data, device and modem replies are logged this way.
//
// The code page leaves byte 0x98 unassigned; it becomes U+0098 here, so every byte value gives
// exactly one distinct character and the mapping can be reversed byte for byte.

QString Win1251ToString(const char *data, qsizetype count);
QString Win1251ToString(const QByteArray &bytes);

// The reverse: one byte per character (per code point outside the 16-bit range), '?' for a
// character the code page does not have.
QByteArray StringToWin1251(const QString &text);
