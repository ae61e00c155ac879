#include "app/SetupProcess.h"

#include "platform/Deadline.h"

#include <QByteArray>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

// How long ending the setup program may hold the window thread.
constexpr auto TerminateWaitLimit = std::chrono::milliseconds(1000);

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t done = RetryOnInterrupt([&] { return ::write(fd, data, size); });
        if (done <= 0)
            return false;
        data += done;
        size -= size_t(done);
    }
    return true;
}

// Closes fd when the scope ends, on every path.
class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    // Closes now and tells whether the close succeeded (a late write error shows up here).
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

} // namespace

TProgramKind ProgramKindOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return TProgramKind::Native;
    return file.read(2) == "MZ" ? TProgramKind::Windows : TProgramKind::Native;
}

QString FindWine()
{
    return QStandardPaths::findExecutable(QStringLiteral("wine"));
}

TResult CopySetupProgram(const QString &source, const QString &target)
{
    const QByteArray sourceName = QFile::encodeName(source);
    const QByteArray targetName = QFile::encodeName(target);

    // Non-blocking open: a FIFO of that name must not hang us before fstat refuses it.
    const int in = ::open(sourceName.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (in < 0)
        return TResult::Failure(ErrnoReason(source, errno));
    FdGuard inGuard(in);
    struct stat st {
    };
    if (::fstat(in, &st) != 0)
        return TResult::Failure(ErrnoReason(source, errno));
    if (!S_ISREG(st.st_mode))
        return TResult::Failure(QStringLiteral("%1: это не файл").arg(source));

    // O_EXCL | O_NOFOLLOW: an existing entry of any kind, a dangling link included, stops us.
    const int out = ::open(targetName.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0)
        return TResult::Failure(ErrnoReason(target, errno));
    FdGuard outGuard(out);

    auto abandon = [&](int err) {
        outGuard.close();
        ::unlink(targetName.constData());
        return TResult::Failure(ErrnoReason(QStringLiteral("%1 -> %2").arg(source, target), err));
    };

    char buffer[65536];
    for (;;) {
        const ssize_t got = RetryOnInterrupt([&] { return ::read(in, buffer, sizeof buffer); });
        if (got < 0)
            return abandon(errno);
        if (got == 0)
            break;
        if (!writeAll(out, buffer, size_t(got)))
            return abandon(errno);
    }
    // Set after the content, exactly (the umask would otherwise drop bits of the original).
    if (::fchmod(out, st.st_mode & 0777) != 0)
        return abandon(errno);
    if (!outGuard.close()) {
        const int err = errno;
        ::unlink(targetName.constData());
        return TResult::Failure(ErrnoReason(QStringLiteral("%1 -> %2").arg(source, target), err));
    }
    return TResult::Success();
}

TResult StartSetupProcess(const QString &path, const QString &workDir, TProcessInformation &info)
{
    info = {};
    const QByteArray program = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(workDir);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return TResult::Failure(QStringLiteral("posix_spawn_file_actions_init failed"));
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return TResult::Failure(QStringLiteral("posix_spawnattr_init failed"));
    }

    int rc = posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
    // Every descriptor of ours is close-on-exec; this also catches one that somebody (a library,
    // the parent of this process) left open without the flag.
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

    // Its own group, default dispositions and an empty signal mask: the program must not inherit
    // what the window thread ignores or blocks.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    if (rc == 0)
        rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                 POSIX_SPAWN_SETSIGMASK);
    if (rc == 0)
        rc = posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&attr, &none);

    // A Windows program runs as "wine <path>" with Wine's debug output off unless the user asked
    // for it; anything else starts itself with its path as its only argument.
    const bool windows = ProgramKindOf(path) == TProgramKind::Windows;
    const QByteArray wine = windows ? QFile::encodeName(FindWine()) : QByteArray();
    if (rc == 0 && windows && wine.isEmpty())
        rc = ENOENT;
    std::vector<char *> env;
    QByteArray wineDebug("WINEDEBUG=-all");
    for (char **entry = environ; *entry; ++entry)
        env.push_back(*entry);
    if (windows && !qEnvironmentVariableIsSet("WINEDEBUG"))
        env.push_back(wineDebug.data());
    env.push_back(nullptr);

    pid_t pid = 0;
    if (rc == 0) {
        char *const nativeArgv[] = {const_cast<char *>(program.constData()), nullptr};
        char *const wineArgv[] = {const_cast<char *>(wine.constData()),
                                  const_cast<char *>(program.constData()), nullptr};
        const QByteArray &file = windows ? wine : program;
        rc = posix_spawn(&pid, file.constData(), &actions, &attr, windows ? wineArgv : nativeArgv,
                         env.data());
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);

    if (rc != 0 && windows && wine.isEmpty())
        return TResult::Failure(
            QStringLiteral("%1: программа для Windows, а Wine не найден").arg(path));
    if (rc != 0)
        return TResult::Failure(ErrnoReason(windows ? QStringLiteral("wine ") + path : path, rc));
    info.hProcess = pid;
    info.hProcessGroup = pid;
    return TResult::Success();
}

void TerminateSetupProcess(TProcessInformation &info)
{
    const pid_t pid = info.hProcess;
    const pid_t group = info.hProcessGroup;
    info = {};
    if (pid <= 0)
        return;

    // As long as our child is not reaped its number, and so its group's, cannot be reused: ask
    // without reaping. If it is no longer our child, someone else reaped it and the numbers may
    // belong to strangers now, so nothing is signalled.
    siginfo_t si{};
    if (RetryOnInterrupt(
            [&] { return ::waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT); }) < 0)
        return;

    // The whole group: whatever the program started itself ends with it. The group cannot have
    // been reused, as its leader (our unreaped child) still holds the number.
    if (group > 0)
        ::kill(-group, SIGKILL);
    // The leader too, in case it moved itself to another group.
    ::kill(pid, SIGKILL);

    // A child killed in uninterruptible sleep (a hung USB or network file system) dies only when
    // that sleep ends, which may take long or forever: the window waits a bounded time, and a
    // child not gone by then is reaped later, whenever it ends, so that no zombie stays.
    const TDeadline deadline(TerminateWaitLimit);
    for (;;) {
        const pid_t done = RetryOnInterrupt([pid] { return ::waitpid(pid, nullptr, WNOHANG); });
        if (done != 0)
            return; // reaped, or not our child any more
        if (deadline.Expired())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::thread([pid] { RetryOnInterrupt([pid] { return ::waitpid(pid, nullptr, 0); }); }).detach();
}
