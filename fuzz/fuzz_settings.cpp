// Lindqvar.conf as users and older versions leave it, through the settings store. Besides crashes
// and sanitizer reports: every read either gives a value or raises "Invalid data type for
// '<name>'"; a write either stores exactly its value, keeping the other values and the comment
// lines, or raises "Failed to set data for '<name>'" and leaves the file byte for byte as it was.
#include "FuzzCheck.h"
#include "settings/Paths.h"
#include "settings/RegistryKey.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <stdexcept>

namespace
{

QTemporaryDir *home = nullptr;

QByteArray ReadFile()
{
    QFile file(Paths::SettingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Raised(const std::exception &error, const char *what, const QString &name)
{
    return QString::fromUtf8(error.what()) == QStringLiteral("%1 for '%2'").arg(what, name);
}

// Every value as each type: what is readable now, "" where it is missing.
QStringList ReadAll(const TRegistryKey &key, const QStringList &names)
{
    QStringList values;
    for (const QString &name : names) {
        if (!key.ValueExists(name)) {
            values << QString();
            continue;
        }
        try {
            values << QStringLiteral("s:") + key.ReadString(name);
        } catch (const std::runtime_error &error) {
            check(Raised(error, "Invalid data type", name));
            values << QStringLiteral("not a string");
        }
        try {
            (void)key.ReadInteger(name);
        } catch (const std::runtime_error &error) {
            check(Raised(error, "Invalid data type", name));
        }
    }
    return values;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    home = new QTemporaryDir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->path()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray original(reinterpret_cast<const char *>(data), qsizetype(size));
    QDir().mkpath(Paths::ConfigDir());
    {
        QFile file(Paths::SettingsFile());
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
              file.write(original) == original.size());
    }
    const QStringList names = {QStringLiteral("COM"), QStringLiteral("CHANNEL"),
                               QStringLiteral("phone1"), QStringLiteral("phone8")};
    QStringList before;
    bool stored = false;
    try {
        TRegistryKey key;
        before = ReadAll(key, names);
        key.WriteString(QStringLiteral("COM"), QStringLiteral("COM7"));
        stored = true;
    } catch (const std::runtime_error &error) {
        check(Raised(error, "Failed to set data", QStringLiteral("COM")));
    }
    const QByteArray after = ReadFile();
    if (!stored) {
        check(after == original);
        return 0;
    }
    // The value is there, the others are as they were, and no comment line was lost.
    const TRegistryKey again;
    const QStringList now = ReadAll(again, names);
    check(now.first() == QStringLiteral("s:COM7"));
    check(now.mid(1) == before.mid(1));
    for (const QByteArray &line : original.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith('#') || trimmed.startsWith(';'))
            check(after.contains(trimmed));
    }
    return 0;
}
