#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QSettings;
class QTemporaryDir;

// Whole-line comments of the file, kept aside while the INI reader works on the rest.
struct TCommentBlock {
    QByteArray Lines;  // the comment lines, each with its line end
    QByteArray Anchor; // the line that followed them ("[section]" or "key=")
    bool AtStart = false;
};

// The per-user settings key: the INI file Paths::SettingsFile(), top-level values phone1..phone8,
// COM and CHANNEL. Open it for one operation and let it go at once; every open creates the
// config directory and an empty file when they are missing.
//
// Faults raise std::runtime_error with a UTF-8 text:
// - "Invalid data type for '<name>'" for a value that is not of the type asked for;
// - "Failed to set data for '<name>'" for a write that did not reach the file (the file then
//   keeps its former content whole), and for any write to a file with lines the INI reader
//   cannot take, which a rewrite would drop. Whole-line comments ('#', ';') are no such lines:
//   they survive every rewrite;
// - "Failed to read settings file '<path>': <reason>" when the file exists but cannot be read.
//   Such a file is never written over.
class TRegistryKey
{
public:
    TRegistryKey();
    ~TRegistryKey();
    TRegistryKey(const TRegistryKey &) = delete;
    TRegistryKey &operator=(const TRegistryKey &) = delete;

    bool ValueExists(const QString &name) const;
    QString ReadString(const QString &name) const;
    // A signed 32-bit decimal integer.
    int ReadInteger(const QString &name) const;
    void WriteString(const QString &name, const QString &value);
    void WriteInteger(const QString &name, int value);

private:
    void openCopy();
    void writeValue(const QString &name, const QString &text);

    QString FPath;
    // The file's content as last read or written by this key.
    QByteArray FStored;
    // QSettings works on a private copy of the file: it keeps a process-wide cache per file name
    // that would hide changes made on disk and hold on to a change whose write failed. The copy
    // gets a new name each time, and a write replaces the real file as a whole.
    std::unique_ptr<QTemporaryDir> FWorkDir;
    int FCopyNumber = 0;
    bool FMalformed = false;
    QList<TCommentBlock> FComments;
    // Lines whose value the INI reader is not given (see RegistryKey.cpp), as they were.
    QList<QByteArray> FDefusedLines;
    bool FReadOnly = false;
    std::unique_ptr<QSettings> FSettings;
};
