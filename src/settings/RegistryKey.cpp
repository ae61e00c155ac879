#include "settings/RegistryKey.h"

#include "platform/Deadline.h"
#include "settings/Paths.h"
#include "settings/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

[[noreturn]] void raise(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

[[noreturn]] void raiseInvalidType(const QString &name)
{
    raise(QStringLiteral("Invalid data type for '%1'").arg(name));
}

[[noreturn]] void raiseWriteFailed(const QString &name)
{
    raise(QStringLiteral("Failed to set data for '%1'").arg(name));
}

[[noreturn]] void raiseUnreadable(const QString &path, int error)
{
    raise(QStringLiteral("Failed to read settings file '%1': %2").arg(path, ErrnoText(error)));
}

// Returns the file's content, creating an empty file when it is missing. A file that exists but
// cannot be read in full raises, so that it is reported instead of being taken for an empty one
// and overwritten. A file that cannot be created (no config directory) reads as empty and is left
// to the writes to report: nothing is stored that could be lost.
QByteArray readOrCreate(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray native = QFile::encodeName(path);
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        fd = ::open(native.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return {};
        if (fd < 0)
            fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        raiseUnreadable(path, errno);
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        raiseUnreadable(path, error);
    }
    QByteArray content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
        if (got > 0) {
            content.append(buffer, got);
            continue;
        }
        const int error = errno;
        ::close(fd);
        if (got < 0)
            raiseUnreadable(path, error);
        return content;
    }
}

// Whole-line comments ('#' or ';' first) are the user's: the INI reader would refuse '#' lines
// (and then every write) and drops ';' lines when it rewrites the file. They are kept aside and
// put back into every rewrite, each block before the line that followed it (a block at the top
// stays at the top, one whose line is gone goes to the end).
bool isComment(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    return text.startsWith('#') || text.startsWith(';');
}

// What identifies a line across a rewrite: a section header, or a key with its '='.
QByteArray anchorOf(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    const qsizetype equals = text.indexOf('=');
    if (text.startsWith('[') || equals < 0)
        return text;
    return text.left(equals).trimmed() + '=';
}

QByteArray stripComments(const QByteArray &content, QList<TCommentBlock> &blocks)
{
    blocks.clear();
    QByteArray rest;
    TCommentBlock pending;
    bool seenOther = false;
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (i == lines.size() - 1 && line.isEmpty())
            break; // the split's piece after the last line end
        if (isComment(line)) {
            pending.Lines += line + '\n';
            pending.AtStart = !seenOther;
            continue;
        }
        rest += line + '\n';
        if (line.trimmed().isEmpty())
            continue;
        seenOther = true;
        if (!pending.Lines.isEmpty()) {
            pending.Anchor = pending.AtStart ? QByteArray() : anchorOf(line);
            blocks.append(pending);
            pending = {};
        }
    }
    if (!pending.Lines.isEmpty())
        blocks.append(pending);
    return rest;
}

QByteArray restoreComments(const QByteArray &written, const QList<TCommentBlock> &blocks)
{
    QByteArray head;
    QByteArray tail;
    QList<QByteArray> lines = written.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    QList<QByteArray> before(lines.size());
    for (const TCommentBlock &block : blocks) {
        if (block.AtStart) {
            head += block.Lines;
            continue;
        }
        qsizetype at = -1;
        if (!block.Anchor.isEmpty()) {
            for (qsizetype i = 0; i < lines.size() && at < 0; ++i) {
                if (anchorOf(lines[i]) == block.Anchor)
                    at = i;
            }
        }
        if (at >= 0)
            before[at] += block.Lines;
        else
            tail += block.Lines;
    }
    QByteArray result = head;
    for (qsizetype i = 0; i < lines.size(); ++i)
        result += before[i] + lines[i] + '\n';
    return result + tail;
}

// A value the INI reader would decode as a serialized variant ("@Variant(...)") runs Qt's
// deserializer of arbitrary types on bytes from a file that users edit; a corrupt one makes it
// allocate without bound and end the program. The store keeps only strings and numbers, so such
// values are never given to the reader: it sees a numbered placeholder list instead, which reads
// as no string and no number, and every rewrite puts the original line back in its place unless
// that key was written. Escapes and continued lines could spell the word in ways a plain search
// misses, so they count as suspect too.
QByteArray placeholder(qsizetype index)
{
    return "unreadable, value " + QByteArray::number(index);
}

bool mayHoldVariant(const QByteArray &value)
{
    // The value with its hexadecimal and octal escapes decoded (other escapes and anything
    // beyond ASCII as a blank): what the reader would see, as far as the word can show in it.
    QByteArray seen;
    for (qsizetype i = 0; i < value.size(); ++i) {
        // The reader drops the quotes that it takes a quoted stretch between: @V"ariant( is
        // @Variant( to it.
        if (value[i] == '"')
            continue;
        if (value[i] != '\\' || i + 1 == value.size()) {
            seen += value[i];
            continue;
        }
        const char kind = value[++i];
        const bool hex = kind == 'x' || kind == 'X';
        if (!hex && !(kind >= '0' && kind <= '7')) {
            seen += ' ';
            continue;
        }
        const uint base = hex ? 16 : 8;
        uint code = hex ? 0 : uint(kind - '0');
        while (i + 1 < value.size()) {
            const char d = value[i + 1];
            const int digit = d >= '0' && d <= '9'   ? d - '0'
                              : d >= 'a' && d <= 'f' ? d - 'a' + 10
                              : d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                     : -1;
            if (digit < 0 || uint(digit) >= base)
                break;
            code = std::min<uint>(code * base + uint(digit), 0x110000);
            ++i;
        }
        seen += code < 128 ? char(code) : ' ';
    }
    // A line that goes on in the next one is read as one value with it.
    return seen.toLower().contains("variant") || value.trimmed().endsWith('\\');
}

QByteArray defuseVariants(const QByteArray &content, QList<QByteArray> &originals)
{
    originals.clear();
    QByteArray safe;
    for (const QByteArray &line : content.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && !line.trimmed().startsWith('[') && mayHoldVariant(line.mid(equals + 1))) {
            safe += line.left(equals + 1) + placeholder(originals.size()) + '\n';
            originals.append(line);
        } else {
            safe += line + '\n';
        }
    }
    safe.chop(1); // the split's piece after the last line end
    return safe;
}

QByteArray restoreDefused(const QByteArray &written, const QList<QByteArray> &originals)
{
    if (originals.isEmpty())
        return written;
    QByteArray result;
    for (const QByteArray &line : written.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        qsizetype original = -1;
        for (qsizetype i = 0; equals > 0 && i < originals.size() && original < 0; ++i) {
            if (line.mid(equals + 1).trimmed() == placeholder(i))
                original = i;
        }
        result += (original >= 0 ? originals[original] : line) + '\n';
    }
    result.chop(1);
    return result;
}

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

} // namespace

TRegistryKey::TRegistryKey()
    : FPath(Paths::SettingsFile()), FStored(readOrCreate(FPath)),
      FWorkDir(std::make_unique<QTemporaryDir>())
{
    openCopy();
}

TRegistryKey::~TRegistryKey() = default;

void TRegistryKey::openCopy()
{
    FSettings.reset();
    bool copied = false;
    QString copy;
    if (FWorkDir->isValid()) {
        copy = FWorkDir->filePath(QStringLiteral("Lindqvar-%1.conf").arg(++FCopyNumber));
        const QByteArray readable =
            defuseVariants(stripComments(FStored, FComments), FDefusedLines);
        QFile file(copy);
        copied = file.open(QIODevice::WriteOnly) && file.write(readable) == readable.size() &&
                 file.flush();
    }
    if (!copied) {
        // Without a private copy the file can still be read in place, but not written safely;
        // one with a value the reader must not see is not read at all.
        FReadOnly = true;
        QList<QByteArray> suspect;
        defuseVariants(FStored, suspect);
        copy = suspect.isEmpty() ? FPath : QStringLiteral("/dev/null");
        if (!suspect.isEmpty())
            qWarning("%s: holds values that are read only from a private copy, and none can be "
                     "made now",
                     qUtf8Printable(FPath));
    }
    FSettings = std::make_unique<QSettings>(copy, QSettings::IniFormat);
    // Parsing every section sets the status when a line cannot be read.
    FSettings->allKeys();
    FMalformed = FSettings->status() == QSettings::FormatError;
}

bool TRegistryKey::ValueExists(const QString &name) const
{
    return FSettings->contains(name);
}

QString TRegistryKey::ReadString(const QString &name) const
{
    // The INI form gives plain text as a string; a list (unquoted comma), @ByteArray, @Variant
    // and the like come back as other types and are not strings.
    const QVariant value = FSettings->value(name);
    if (value.typeId() != QMetaType::QString)
        raiseInvalidType(name);
    return value.toString();
}

int TRegistryKey::ReadInteger(const QString &name) const
{
    const QVariant value = FSettings->value(name);
    if (value.typeId() != QMetaType::QString)
        raiseInvalidType(name);
    bool ok = false;
    const int result = value.toString().toInt(&ok, 10);
    if (!ok)
        raiseInvalidType(name);
    return result;
}

void TRegistryKey::WriteString(const QString &name, const QString &value)
{
    writeValue(name, value);
}

void TRegistryKey::WriteInteger(const QString &name, int value)
{
    writeValue(name, QString::number(value));
}

void TRegistryKey::writeValue(const QString &name, const QString &text)
{
    // A rewrite would drop the lines the reader could not take: such a file stays as it is.
    if (FReadOnly || FMalformed)
        raiseWriteFailed(name);

    FSettings->setValue(name, text);
    FSettings->sync();
    bool ok = FSettings->status() == QSettings::NoError;
    QByteArray content;
    if (ok)
        content = restoreComments(
            restoreDefused(readAll(FSettings->fileName(), &ok), FDefusedLines), FComments);
    if (ok) {
        // A new file renamed over the old one: a failed write leaves the old file whole. The
        // error the user sees is the store's own text; the system's reason goes to stderr.
        const TResult written = SafeFile::Replace(FPath, content, 0600);
        if (!written)
            qWarning("%s: %s", qUtf8Printable(FPath), qUtf8Printable(written.Reason()));
        ok = written.Ok();
    }
    if (ok) {
        // What counts is what is on disk.
        const QByteArray onDisk = readAll(FPath, &ok);
        ok = ok && onDisk == content;
    }
    if (!ok) {
        // Back to the last stored content, so this key does not show the refused value.
        openCopy();
        raiseWriteFailed(name);
    }
    FStored = content;
}
