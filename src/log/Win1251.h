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

// The bytes of a text that the code page holds character for character; false (bytes then
// unspecified) when any character is not in it.
bool Win1251FromString(QStringView text, QByteArray &bytes);

// The bytes as UTF-8 text, appended to out: the same characters as Win1251ToString gives.
void AppendWin1251AsUtf8(const char *data, qsizetype count, QByteArray &out);
