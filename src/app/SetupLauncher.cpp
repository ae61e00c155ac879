#include "app/SetupLauncher.h"

#include "app/SetupIni.h"
#include "controls/Dialogs.h"
#include "settings/Paths.h"

#include <QFile>
#include <QFileInfo>

TSetupLauncher::TSetupLauncher(QWidget *boxParent, TLogWriter log)
    : FBoxParent(boxParent), FLog(std::move(log))
{
}

TSetupLauncher::~TSetupLauncher()
{
    Terminate();
}

void TSetupLauncher::Launch(const QByteArray &verInfo)
{
    if (FSetupIsStarted)
        return;

    const QString tempDir = Paths::PrivateTempDir();
    if (tempDir.isEmpty()) {
        ShowErrorBox(FBoxParent, QStringLiteral("Оболочка не запущена, системная ошибка"));
        return;
    }
    const QString programDir = Paths::ProgramDir();
    const QString iniPath = programDir + QStringLiteral("setup.ini");
    if (!QFileInfo(iniPath).isFile()) {
        ShowErrorBox(FBoxParent, QStringLiteral("Оболочка не запущена, не найден файл настроек"));
        return;
    }

    bool hasToken = false;
    const QString key = ModelKeyFromReply(verInfo, &hasToken);
    if (!hasToken)
        return;

    // ReadSetupIni reads one byte beyond the lookup's limit, so that a line cut by the limit is
    // dropped instead of being taken as a shorter value (naming a different program).
    QByteArray iniBytes;
    if (const TResult read = ReadSetupIni(iniPath, iniBytes); !read) {
        FLog(read.Reason());
        return;
    }
    bool found = false;
    SetupLookup outcome = SetupLookup::NotListed;
    const QString value = LookupSetupProgram(iniBytes, key, &found, &outcome);
    if (outcome == SetupLookup::Refused)
        FLog(QStringLiteral("setup.ini: программа для модели \"%1\" названа недопустимым "
                            "именем файла")
                 .arg(key));
    if (!found)
        return;

    bool copiedNow = false;
    const QString startPath = PrepareCopy(programDir + value, tempDir, value, copiedNow);
    if (startPath.isEmpty())
        return;

    const bool windows = ProgramKindOf(startPath) == TProgramKind::Windows;
    if (windows && FindWine().isEmpty()) {
        // Nothing is started; the link start then fails as for a missing setup program.
        FLog(QStringLiteral("Программа настройки - программа для Windows, а Wine не найден: %1")
                 .arg(startPath));
        ShowErrorBox(FBoxParent, QStringLiteral("Программа настройки этого прибора написана для "
                                                "Windows. Для её запуска нужен Wine: установите "
                                                "пакет wine (sudo apt install wine)."));
        if (copiedNow)
            QFile::remove(startPath);
        return;
    }
    const TResult started = StartSetupProcess(startPath, programDir, FSetupProcInfo);
    if (started) {
        FSetupFile = startPath;
        // Its first start in a new Wine prefix takes some seconds; it connects when it is ready.
        if (windows)
            FLog(QStringLiteral("Программа настройки запущена через Wine: %1").arg(startPath));
    } else {
        FLog(QStringLiteral("Не удалось запустить программу настройки: %1").arg(started.Reason()));
        // A copy made for this start would otherwise be found and started again next time,
        // never replaced, even after the stored program has been put right.
        if (copiedNow)
            QFile::remove(startPath);
    }
    FSetupIsStarted = started.Ok();
}

QString TSetupLauncher::PrepareCopy(const QString &stored, const QString &tempDir,
                                    const QString &value, bool &copiedNow)
{
    copiedNow = false;
    QString startPath = stored;
    TResult copied = TResult::Success();
    if (QFileInfo(stored).isFile()) {
        startPath = tempDir + value + QStringLiteral(".exe");
        // An older copy of that name is kept and started instead.
        copied = CopySetupProgram(stored, startPath);
        copiedNow = copied.Ok();
    }
    if (QFileInfo(startPath).isFile())
        return startPath;
    if (!copied)
        FLog(QStringLiteral("Не удалось скопировать программу настройки: %1").arg(copied.Reason()));
    return {};
}

void TSetupLauncher::Terminate()
{
    if (FSetupIsStarted) {
        TerminateSetupProcess(FSetupProcInfo);
        QFile::remove(FSetupFile);
    }
    FSetupIsStarted = false;
}
