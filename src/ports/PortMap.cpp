#include "ports/PortMap.h"

#include "line/LineKinds.h"
#include "ports/PortDiscovery.h"
#include "settings/Paths.h"
#include "settings/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>

namespace
{

std::mutex rootsMutex;
QString sysRootValue = QStringLiteral("/sys");
QString devRootValue = QStringLiteral("/dev");

// A new file starts with a word on its format for whoever opens it in an editor.
const char newFileHeader[] = "# Serial port names: COM<n>=<device file>, one per line.\n"
                             "# New adapters are added at the end; edit or reorder freely.\n";

} // namespace

namespace PortMap
{

int PortNumber(const QString &name)
{
    if (name.size() < 4 || name.size() > 12 || !name.startsWith(u"COM", Qt::CaseInsensitive))
        return 0;
    const QStringView digits = QStringView(name).mid(3);
    if (digits.front() == u'0')
        return 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return 0;
    }
    bool ok = false;
    const int number = digits.toInt(&ok);
    return ok ? number : 0;
}

QList<TPortMapEntry> Parse(const QByteArray &text)
{
    QList<TPortMapEntry> entries;
    const QString content = QString::fromUtf8(text);
    for (QStringView line : QStringView(content).split(u'\n')) {
        const qsizetype comment = line.indexOf(u'#');
        if (comment >= 0)
            line = line.left(comment);
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString name = line.left(equals).trimmed().toString();
        const QString path = line.mid(equals + 1).trimmed().toString();
        if (PortNumber(name) == 0 || !LineKinds::Valid(path))
            continue;
        if (!PathOf(entries, name).isEmpty())
            continue;
        entries.append({name, path});
    }
    return entries;
}

TResult Load(QList<TPortMapEntry> &entries)
{
    entries.clear();
    QFile file(Paths::PortMapFile());
    if (!file.exists())
        return TResult::Success();
    if (!file.open(QIODevice::ReadOnly))
        return TResult::Failure(
            QStringLiteral("Не удалось прочитать %1: %2").arg(file.fileName(), file.errorString()));
    entries = Parse(file.readAll());
    return TResult::Success();
}

QString PathOf(const QList<TPortMapEntry> &entries, const QString &name)
{
    for (const TPortMapEntry &entry : entries) {
        if (entry.Name.compare(name, Qt::CaseInsensitive) == 0)
            return entry.Path;
    }
    return {};
}

TResult Append(const QList<TPortMapEntry> &entries)
{
    if (entries.isEmpty())
        return TResult::Success();
    const QString fileName = Paths::PortMapFile();
    if (!QDir().mkpath(QFileInfo(fileName).absolutePath()))
        return TResult::Failure(
            QStringLiteral("Не удалось создать папку %1").arg(QFileInfo(fileName).path()));
    QByteArray content;
    QFile current(fileName);
    if (current.exists()) {
        if (!current.open(QIODevice::ReadOnly))
            return TResult::Failure(
                QStringLiteral("Не удалось прочитать %1: %2").arg(fileName, current.errorString()));
        content = current.readAll();
        current.close();
        if (!content.isEmpty() && !content.endsWith('\n'))
            content += '\n';
    } else {
        content = newFileHeader;
    }
    for (const TPortMapEntry &entry : entries)
        content += (entry.Name + u'=' + entry.Path + u'\n').toUtf8();

    if (TResult written = SafeFile::Replace(fileName, content); !written)
        return TResult::Failure(
            QStringLiteral("Не удалось записать %1: %2").arg(fileName, written.Reason()));
    return TResult::Success();
}

void SetDiscoveryRoots(const QString &sysRoot, const QString &devRoot)
{
    const std::lock_guard lock(rootsMutex);
    sysRootValue = sysRoot;
    devRootValue = devRoot;
}

QString SysRoot()
{
    const std::lock_guard lock(rootsMutex);
    return sysRootValue;
}

QString DevRoot()
{
    const std::lock_guard lock(rootsMutex);
    return devRootValue;
}

TResult Discover(QList<TPortMapEntry> &entries, TResult &saved)
{
    saved = TResult::Success();
    if (TResult read = Load(entries); !read)
        return read;
    const QList<TSerialDevice> devices = PortDiscovery::Scan(SysRoot(), DevRoot());
    const QList<TPortMapEntry> added = PortDiscovery::NewEntries(entries, devices);
    // A name that is not in the file could not be opened or tested by name, so unsaved lines
    // are not listed either.
    saved = Append(added);
    if (saved)
        entries += added;
    return TResult::Success();
}

} // namespace PortMap
