#include "app/FileVersion.h"

#include "app/Version.h"

#include <QFileInfo>

QString ReadFileVersion(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo file(path);
    if (!file.exists())
        return {};
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    if (file.canonicalFilePath() != self.canonicalFilePath())
        return {};
    return ProgramVersion();
}
