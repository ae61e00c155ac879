// Device identification and the setup program's start and end.

#include "app/MainFormUnit.h"

#include "app/SetupIni.h"
#include "controls/Dialogs.h"
#include "log/Win1251.h"
#include "platform/Deadline.h"
#include "platform/TickClock.h"
#include "settings/Paths.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <thread>

#include <poll.h>

namespace
{

constexpr std::uint32_t ReplyTimeLimitMs = 10000;
// A reply is a few hundred bytes; a line that keeps talking beyond this is not answering.
constexpr qsizetype MaxReplySize = 1 << 20;

// Sleeps until the port has input or the time is up, so that the reply wait reacts to every
// arriving byte at once without spinning. Times are the tick clock's milliseconds.
void WaitForInput(THandle handle, std::uint32_t remainingMs)
{
    const auto wait = TickClock::RealDuration(std::min<std::uint32_t>(remainingMs, 100));
    const auto nap = [&wait] {
        std::this_thread::sleep_for(std::min(wait, TickClock::RealDuration(10)));
    };
    if (handle == INVALID_HANDLE_VALUE) {
        nap();
        return;
    }
    const int seen = WaitForDescriptor(static_cast<int>(handle), POLLIN, TDeadline(wait));
    // A pulled line (hung up, its other side gone) reports itself ready at once, often with
    // POLLIN too, while nothing can ever be read from it: sleep instead of spinning on it.
    if (seen < 0 || (seen & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        nap();
}

} // namespace

bool TMainLindqvarForm::RequestVerInfo()
{
    COMWrite(BytesToBuffer(QByteArrayLiteral("+VER_INFO=?\r\n")));
    WriteLog(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));

    const std::uint32_t start = TickClock::Now();
    FVerInfo.clear();
    QByteArray collected;
    std::uint32_t elapsed = 0;
    while ((elapsed = TickClock::Since(start)) < ReplyTimeLimitMs) {
        const int n = COMRead();
        if (n == 0) {
            WaitForInput(FCOMHandle, ReplyTimeLimitMs - elapsed);
            continue;
        }
        if (collected.size() >= MaxReplySize)
            continue; // drained and ignored: no device answers at such length
        collected.append(BufferToBytes(n));
        if (collected.contains("OK\r\n")) {
            WriteLog(Win1251ToString(collected), QStringLiteral("COM->APP"));
            FVerInfo = collected;
            return true;
        }
    }
    return false;
}

void TMainLindqvarForm::LaunchSetup()
{
    if (FSetupIsStarted)
        return;

    const QString tempDir = Paths::PrivateTempDir();
    if (tempDir.isEmpty()) {
        ShowErrorBox(this, QStringLiteral("Оболочка не запущена, системная ошибка"));
        return;
    }
    const QString programDir = Paths::ProgramDir();
    const QString iniPath = programDir + QStringLiteral("setup.ini");
    if (!QFileInfo(iniPath).isFile()) {
        ShowErrorBox(this, QStringLiteral("Оболочка не запущена, не найден файл настроек"));
        return;
    }

    bool hasToken = false;
    const QString key = ModelKeyFromReply(FVerInfo, &hasToken);
    if (!hasToken)
        return;

    // ReadSetupIni reads one byte beyond the lookup's limit, so that a line cut by the limit is
    // dropped instead of being taken as a shorter value (naming a different program).
    QByteArray iniBytes;
    if (const TResult read = ReadSetupIni(iniPath, iniBytes); !read) {
        WriteLog(read.Reason());
        return;
    }
    bool found = false;
    SetupLookup outcome = SetupLookup::NotListed;
    const QString value = LookupSetupProgram(iniBytes, key, &found, &outcome);
    if (outcome == SetupLookup::Refused)
        WriteLog(QStringLiteral("setup.ini: программа для модели \"%1\" названа недопустимым "
                                "именем файла")
                     .arg(key));
    if (!found)
        return;

    const QString stored = programDir + value;
    QString startPath = stored;
    bool copiedNow = false;
    TResult copied = TResult::Success();
    if (QFileInfo(stored).isFile()) {
        startPath = tempDir + value + QStringLiteral(".exe");
        // An older copy of that name is kept and started instead.
        copied = CopySetupProgram(stored, startPath);
        copiedNow = copied.Ok();
    }
    if (!QFileInfo(startPath).isFile()) {
        if (!copied)
            WriteLog(QStringLiteral("Не удалось скопировать программу настройки: %1")
                         .arg(copied.Reason()));
        return;
    }

    const bool windows = ProgramKindOf(startPath) == TProgramKind::Windows;
    if (windows && FindWine().isEmpty()) {
        // Nothing is started; the link start then fails as for a missing setup program.
        WriteLog(QStringLiteral("Программа настройки - программа для Windows, а Wine не найден: %1")
                     .arg(startPath));
        ShowErrorBox(this, QStringLiteral("Программа настройки этого прибора написана для Windows. "
                                          "Для её запуска нужен Wine: установите пакет wine "
                                          "(sudo apt install wine)."));
        if (copiedNow)
            QFile::remove(startPath);
        return;
    }
    const TResult started = StartSetupProcess(startPath, programDir, FSetupProcInfo);
    if (started) {
        FSetupFile = startPath;
        // Its first start in a new Wine prefix takes some seconds; it connects when it is ready.
        if (windows)
            WriteLog(QStringLiteral("Программа настройки запущена через Wine: %1").arg(startPath));
    } else {
        WriteLog(
            QStringLiteral("Не удалось запустить программу настройки: %1").arg(started.Reason()));
        // A copy made for this start would otherwise be found and started again next time,
        // never replaced, even after the stored program has been put right.
        if (copiedNow)
            QFile::remove(startPath);
    }
    FSetupIsStarted = started.Ok();
}

void TMainLindqvarForm::TerminateSetup()
{
    if (FSetupIsStarted) {
        TerminateSetupProcess(FSetupProcInfo);
        QFile::remove(FSetupFile);
    }
    FSetupIsStarted = false;
}
