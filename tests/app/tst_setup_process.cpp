// The setup program's copy, start and end, with a real child that records what it was given.
#include "app/SetupProcess.h"
#include "support/ResultCheck.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

mode_t modeOf(const QString &path)
{
    struct stat st {
    };
    return ::lstat(native(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data, mode_t mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() &&
           ::chmod(native(path).constData(), mode) == 0;
}

// A process that is gone for good: not even a zombie waiting to be reaped.
bool processGone(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    // The state follows the parenthesised name; a zombie reparented to init counts as ended.
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

QMultiMap<QString, QString> parseRecord(const QByteArray &text)
{
    QMultiMap<QString, QString> record;
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            record.insert(QString::fromLatin1(line.left(eq)), QFile::decodeName(line.mid(eq + 1)));
    }
    return record;
}

// Ends a started program however the test leaves its scope, so that a failed check leaves no
// process behind holding the test's output open.
struct EndAtExit {
    TProcessInformation &info;
    ~EndAtExit() { TerminateSetupProcess(info); }
};

// A freezer control group (cgroup v1) of the test's own: a process frozen there and then killed
// stays in uninterruptible sleep until the group is thawed, as a program stuck on a hung USB or
// network file system does.
class TFreezer
{
public:
    TFreezer() : m_path(QStringLiteral("/sys/fs/cgroup/freezer/lindqvar-test-%1").arg(::getpid()))
    {
        if (!QFileInfo(QStringLiteral("/sys/fs/cgroup/freezer/cgroup.procs")).exists())
            m_why = QStringLiteral("no cgroup v1 freezer mounted");
        else if (::mkdir(native(m_path).constData(), 0755) != 0)
            m_why = QStringLiteral("cannot create %1: %2").arg(m_path, qt_error_string(errno));
    }
    ~TFreezer()
    {
        Thaw();
        if (m_why.isEmpty())
            ::rmdir(native(m_path).constData());
    }
    QString WhyNot() const { return m_why; }
    bool Freeze(pid_t pid)
    {
        if (!put(QStringLiteral("cgroup.procs"), QByteArray::number(pid)) ||
            !put(QStringLiteral("freezer.state"), "FROZEN"))
            return false;
        for (int i = 0; i < 500; ++i) {
            if (readAll(m_path + QStringLiteral("/freezer.state")).trimmed() == "FROZEN")
                return true;
            QThread::msleep(10);
        }
        return false;
    }
    void Thaw()
    {
        if (m_why.isEmpty())
            put(QStringLiteral("freezer.state"), "THAWED");
    }

private:
    bool put(const QString &file, const QByteArray &value)
    {
        QFile f(m_path + u'/' + file);
        return f.open(QIODevice::WriteOnly) && f.write(value) == value.size() && f.flush();
    }
    QString m_path;
    QString m_why;
};

} // namespace

class TstSetupProcess : public QObject
{
    Q_OBJECT

private slots:
    void copyKeepsModeAndContent();
    void copyNeverOverwritesOrFollows();
    void copyRefusesWhatIsNotAFile();
    void startedProgramGetsOnlyItsPath();
    void terminateReapsAnEndedProgram();
    void startFailures();
    void stuckProgramDoesNotHoldTheCaller();

private:
    // Writes a shell program running this command into the test's folder and starts it there.
    TResult StartScript(const char *name, const QByteArray &command, TProcessInformation &info);

    QTemporaryDir m_dir;
};

void TstSetupProcess::copyKeepsModeAndContent()
{
    const QByteArray content = QByteArray(200000, 'x') + "end";
    for (const mode_t mode : {0755, 0640, 0711}) {
        const QString source = m_dir.filePath(QStringLiteral("src%1").arg(mode));
        const QString target = source + QStringLiteral(".exe");
        QVERIFY(writeFile(source, content, mode));
        QVERIFY_OK(CopySetupProgram(source, target));
        QCOMPARE(modeOf(target), mode);
        QCOMPARE(readAll(target), content);
    }
}

void TstSetupProcess::copyNeverOverwritesOrFollows()
{
    const QString source = m_dir.filePath("new");
    QVERIFY(writeFile(source, "new", 0755));

    const QString existing = m_dir.filePath("existing.exe");
    QVERIFY(writeFile(existing, "old", 0700));
    const TResult refused = CopySetupProgram(source, existing);
    QVERIFY(!refused);
    QVERIFY(!refused.Reason().isEmpty());
    QCOMPARE(readAll(existing), QByteArray("old"));

    // A link planted at the copy's name is neither written through nor replaced.
    const QString victim = m_dir.filePath("victim");
    QVERIFY(writeFile(victim, "victim", 0600));
    const QString link = m_dir.filePath("link.exe");
    QVERIFY(QFile::link(victim, link));
    QVERIFY(!CopySetupProgram(source, link));
    QCOMPARE(readAll(victim), QByteArray("victim"));
    const QString dangling = m_dir.filePath("dangling.exe");
    QVERIFY(QFile::link(m_dir.filePath("nowhere"), dangling));
    QVERIFY(!CopySetupProgram(source, dangling));
    QVERIFY(!QFile::exists(m_dir.filePath("nowhere")));
}

void TstSetupProcess::copyRefusesWhatIsNotAFile()
{
    const QString dir = m_dir.filePath("subdir");
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(::mkfifo(native(m_dir.filePath("fifo")).constData(), 0600) == 0);
    const QStringList sources = {dir, m_dir.filePath("fifo"), m_dir.filePath("missing")};
    for (const QString &source : sources) {
        const QString target = m_dir.filePath("refused.exe");
        const TResult refused = CopySetupProgram(source, target);
        QVERIFY(!refused);
        QVERIFY(!refused.Reason().isEmpty());
        QVERIFY(!QFileInfo::exists(target));
    }
    // A regular file whose reading fails at once: the half-made copy is removed again.
    const QString target = m_dir.filePath("mem.exe");
    QVERIFY(!CopySetupProgram(QStringLiteral("/proc/self/mem"), target));
    QVERIFY(!QFileInfo::exists(target));
}

void TstSetupProcess::startedProgramGetsOnlyItsPath()
{
    // A long path with blanks, trailing ones too, reaches the program whole.
    const QString home = m_dir.filePath(QString(120, u'd') + QStringLiteral(" with blanks"));
    const QString work = m_dir.filePath("work dir");
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(work));
    const QString program = home + QLatin1Char('/') + QString(130, u'p') + QStringLiteral("  .exe");
    QVERIFY_OK(CopySetupProgram(QStringLiteral(RECORD_CHILD_PATH), program));

    const QString recordFile = m_dir.filePath("record");
    qputenv("LINDQVAR_RECORD_FILE", native(recordFile));
    qputenv("LINDQVAR_RECORD_FORK", "1");
    // Opened without close-on-exec on purpose: the child must not get it all the same.
    const int leaked = ::open("/dev/null", O_RDONLY);
    QVERIFY(leaked > 2);
    TProcessInformation info;
    EndAtExit end{info};
    const TResult started = StartSetupProcess(program, work, info);
    ::close(leaked);
    qunsetenv("LINDQVAR_RECORD_FORK");
    QVERIFY2(started, qPrintable(started.Reason()));
    QVERIFY(info.hProcess > 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(recordFile), 30000);
    const auto record = parseRecord(readAll(recordFile));
    QCOMPARE(record.values("argv"), QStringList{program});
    QCOMPARE(record.value("cwd"), work);
    for (const QString &fd : record.values("fd"))
        QVERIFY2(fd.toInt() <= 2, qPrintable(QStringLiteral("descriptor %1 inherited").arg(fd)));
    QCOMPARE(record.value("pid").toInt(), info.hProcess);
    QCOMPARE(record.value("pgid").toInt(), info.hProcess);
    QCOMPARE(info.hProcessGroup, info.hProcess);
    QVERIFY(info.hProcessGroup != ::getpgrp());

    const pid_t pid = info.hProcess;
    const pid_t grandchild = record.value("grandchild").toInt();
    QVERIFY(grandchild > 0 && !processGone(grandchild));
    const TProcessInformation stale = info;
    TerminateSetupProcess(info);
    QCOMPARE(info.hProcess, 0);
    QCOMPARE(info.hProcessGroup, 0);
    // Reaped: no process, no zombie, no child left to wait for.
    QVERIFY(processGone(pid) && !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    const pid_t waited = ::waitpid(pid, nullptr, WNOHANG);
    const int waitError = errno;
    QCOMPARE(waited, -1);
    QCOMPARE(waitError, ECHILD);
    // What the program started itself went down with its group.
    QTRY_VERIFY_WITH_TIMEOUT(processGone(grandchild), 30000);

    // Twice, and with a stale record of the ended child: nothing happens.
    TerminateSetupProcess(info);
    TProcessInformation again = stale;
    TerminateSetupProcess(again);
    QCOMPARE(again.hProcess, 0);
}

TResult TstSetupProcess::StartScript(const char *name, const QByteArray &command,
                                     TProcessInformation &info)
{
    const QString program = m_dir.filePath(QString::fromLatin1(name));
    if (!writeFile(program, "#!/bin/sh\n" + command + "\n", 0700))
        return TResult::Failure(QStringLiteral("cannot write ") + program);
    return StartSetupProcess(program, m_dir.path(), info);
}

void TstSetupProcess::terminateReapsAnEndedProgram()
{
    // A program that ended by itself stays a zombie until terminated.
    TProcessInformation info;
    EndAtExit end{info};
    QVERIFY_OK(StartScript("quits.exe", "exit 0", info));
    const pid_t pid = info.hProcess;
    siginfo_t si{};
    QCOMPARE(::waitid(P_PID, id_t(pid), &si, WEXITED | WNOWAIT), 0);
    QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    TerminateSetupProcess(info);
    QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    QCOMPARE(info.hProcess, 0);
}

void TstSetupProcess::startFailures()
{
    const QString plain = m_dir.filePath("plain.exe");
    QVERIFY(writeFile(plain, "#!/bin/sh\nexit 0\n", 0600));
    const QString runnable = m_dir.filePath("runnable.exe");
    QVERIFY(writeFile(runnable, "#!/bin/sh\nexit 0\n", 0700));
    const QList<QPair<QString, QString>> cases = {
        {plain, m_dir.path()},                         // not executable
        {m_dir.filePath("missing.exe"), m_dir.path()}, // no such program
        {runnable, m_dir.filePath("no such dir")},     // no working directory
    };
    for (const auto &[program, work] : cases) {
        TProcessInformation info;
        const TResult refused = StartSetupProcess(program, work, info);
        QVERIFY(!refused);
        QVERIFY2(refused.Reason().contains(program), qPrintable(refused.Reason()));
        QCOMPARE(info.hProcess, 0);
    }
    // Nothing was left behind to reap.
    QCOMPARE(::waitpid(-1, nullptr, WNOHANG), -1);
}

void TstSetupProcess::stuckProgramDoesNotHoldTheCaller()
{
    TFreezer freezer;
    if (!freezer.WhyNot().isEmpty())
        QSKIP(qPrintable(
            QStringLiteral("a stuck program needs a freezer group: %1").arg(freezer.WhyNot())));
    TProcessInformation info;
    EndAtExit end{info};
    QVERIFY_OK(StartScript("stuck.exe", "exec sleep 1000", info));
    const pid_t pid = info.hProcess;
    QVERIFY(freezer.Freeze(pid));
    // Should the wait not be bounded, the program is let go after a while, so that the test
    // fails instead of hanging.
    std::atomic<bool> ended{false};
    std::thread rescue([&] {
        for (int i = 0; i < 200 && !ended; ++i)
            QThread::msleep(100);
        freezer.Thaw();
    });
    QElapsedTimer clock;
    clock.start();
    TerminateSetupProcess(info);
    const qint64 took = clock.elapsed();
    ended = true;
    rescue.join();
    QVERIFY2(took < 10000, qPrintable(QString::number(took)));
    QCOMPARE(info.hProcess, 0);

    // Once its sleep ends it dies of the kill it got, and is reaped: no zombie stays.
    freezer.Thaw();
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)), 30000);
}

QTEST_GUILESS_MAIN(TstSetupProcess)
#include "tst_setup_process.moc"
