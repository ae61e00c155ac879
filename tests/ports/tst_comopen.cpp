// Opening and closing serial ports: exclusive use, line settings, and every way an open fails.
#include "SerialTestHelpers.h"
#include "line/tty/PortDiagnosis.h"
#include "line/tty/PortLock.h"
#include "line/tty/SerialTermios2.h"
#include "ports/COMUtils.h"
#include "support/ConfigTest.h"
#include "support/Pty.h"
#include "support/ResultCheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

class TstComOpen : public TConfigTest
{
    Q_OBJECT

private slots:
    void openPreparesAndCloseReleases();
    void secondOpenInThisProcessFails();
    void portHeldByAnotherProcessFails();
    void lockFileOfLiveProcessRefuses();
    void staleLockFileIsTakenOver();
    void plantedTemporaryNamesAreNeverWrittenThrough();
    void badTargetsFail_data();
    void badTargetsFail();
    void refusedLineSettingsKeepHandleForClose();
    void deviceWithoutPermissionFails_data();
    void deviceWithoutPermissionFails();
    void lineSettings_data();
    void lineSettings();
    void customSpeedGivesWayToStandard();
};

void TstComOpen::openPreparesAndCloseReleases()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(Config().WritePortMap({"COM5=" + pty.SlavePath()}));

    THandle handle = 1234;
    QVERIFY_OK(OpenCOMPort("COM5", 19200, handle));
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    // Started programs must not inherit the port.
    QVERIFY(::fcntl(int(handle), F_GETFD) & FD_CLOEXEC);
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (!lockFile.isEmpty())
        QCOMPARE(PortLock::OwnerOf(lockFile), long(::getpid()));

    QVERIFY(CloseCOMPort(handle));
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    if (!lockFile.isEmpty())
        QVERIFY(!QFile::exists(lockFile));
    // Nothing to close is no failure.
    QVERIFY(CloseCOMPort(handle));
    QCOMPARE(handle, INVALID_HANDLE_VALUE);

    // Everything was released: the port opens again, by a name in another letter case too.
    QVERIFY_OK(OpenCOMPort("com5", 19200, handle));
    QVERIFY(CloseCOMPort(handle));
}

void TstComOpen::secondOpenInThisProcessFails()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    // A second name for the same device, through a link, must not get around the lock either.
    const QString link = Config().Root() + "/link-to-pty";
    QVERIFY(QFile::link(pty.SlavePath(), link));
    QVERIFY(Config().WritePortMap({"COM5=" + pty.SlavePath(), "COM6=" + link}));

    THandle first = INVALID_HANDLE_VALUE;
    QVERIFY_OK(OpenCOMPort("COM5", 9600, first));
    for (const char *name : {"COM5", "COM6"}) {
        THandle second = 77;
        const TResult refused = OpenCOMPort(name, 9600, second);
        QVERIFY(!refused);
        QCOMPARE(second, INVALID_HANDLE_VALUE);
        QVERIFY(!refused.Reason().isEmpty());
    }
    // The refused attempts must not have touched the holder's lock.
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (!lockFile.isEmpty())
        QCOMPARE(PortLock::OwnerOf(lockFile), long(::getpid()));
    QVERIFY(CloseCOMPort(first));
    QVERIFY_OK(OpenCOMPort("COM6", 9600, first));
    QVERIFY(CloseCOMPort(first));
}

void TstComOpen::portHeldByAnotherProcessFails()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    THandle handle = INVALID_HANDLE_VALUE;
    {
        TPortHolder holder(pty.SlavePath(), true);
        QVERIFY(holder.IsHolding());
        const TResult refused = OpenCOMPort("COM3", 19200, handle);
        QVERIFY(!refused);
        QCOMPARE(handle, INVALID_HANDLE_VALUE);
        // The reason names the program that holds the port and its process.
        QVERIFY2(refused.Reason().contains(pty.SlavePath()) &&
                     refused.Reason().contains(QStringLiteral("(процесс %1)").arg(holder.Pid())),
                 qPrintable(refused.Reason()));
        // Our lock file from the failed attempt must not stay behind.
        const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
        if (!lockFile.isEmpty())
            QVERIFY(!QFile::exists(lockFile));
    }
    QVERIFY_OK(OpenCOMPort("COM3", 19200, handle));
    QVERIFY(CloseCOMPort(handle));
}

void TstComOpen::lockFileOfLiveProcessRefuses()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (lockFile.isEmpty())
        QSKIP("no writable lock directory on this machine");
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    TPortHolder other(QStringLiteral("/dev/null"), false);
    QVERIFY(other.IsHolding());
    QVERIFY(WriteLockFile(lockFile, other.Pid()));

    THandle handle = INVALID_HANDLE_VALUE;
    const TResult refused = OpenCOMPort("COM3", 19200, handle);
    QVERIFY(!refused);
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    QVERIFY2(refused.Reason().contains(QStringLiteral("программой %1 (процесс %2)")
                                           .arg(PortDiagnosis::ProcessName(other.Pid()))
                                           .arg(other.Pid())),
             qPrintable(refused.Reason()));
    // Another program's lock file is never removed by us.
    QCOMPARE(PortLock::OwnerOf(lockFile), long(other.Pid()));
    QVERIFY(QFile::remove(lockFile));
}

void TstComOpen::plantedTemporaryNamesAreNeverWrittenThrough()
{
    // Another user of the world-writable lock directory plants links, under the names the lock
    // file's temporary twin could take, to a file of ours.
    TPty pty;
    QVERIFY(pty.IsValid());
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (lockFile.isEmpty())
        QSKIP("no writable lock directory on this machine");
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    const QString victim = Config().Root() + QStringLiteral("/precious");
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
    file.close();
    QStringList planted;
    for (int i = 0; i < 200; ++i) {
        const QString name = QStringLiteral("%1.tmp%2.%3").arg(lockFile).arg(::getpid()).arg(i);
        if (QFile::link(victim, name))
            planted << name;
    }
    QVERIFY(!planted.isEmpty());

    THandle handle = INVALID_HANDLE_VALUE;
    const TResult result = OpenCOMPort("COM3", 19200, handle);
    const bool opened = result.Ok();
    const QString reason = result.Reason();
    const long owner = PortLock::OwnerOf(lockFile);
    const bool lockIsLink = QFileInfo(lockFile).isSymLink();
    CloseCOMPort(handle);
    for (const QString &name : planted)
        QFile::remove(name);
    QVERIFY2(opened, qPrintable(reason));
    QCOMPARE(owner, long(::getpid()));
    QVERIFY(!lockIsLink);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
}

void TstComOpen::staleLockFileIsTakenOver()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (lockFile.isEmpty())
        QSKIP("no writable lock directory on this machine");
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    QVERIFY(WriteLockFile(lockFile, DeadPid()));

    THandle handle = INVALID_HANDLE_VALUE;
    QVERIFY_OK(OpenCOMPort("COM3", 19200, handle));
    QCOMPARE(PortLock::OwnerOf(lockFile), long(::getpid()));
    QVERIFY(CloseCOMPort(handle));
    QVERIFY(!QFile::exists(lockFile));
}

void TstComOpen::badTargetsFail_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reasonPart");
    const auto row = [](const char *name, const char *line, const char *com, const char *reason) {
        QTest::newRow(name) << QString(line) << QString(com) << QString::fromUtf8(reason);
    };
    row("unmapped name", "COM1=/dev/null", "COM9", "COM9");
    row("empty name", "COM1=/dev/null", "", "ports.conf");
    row("malformed line", "COM9 /dev/null", "COM9", "COM9");
    row("missing path", "COM2=@/no-such-device", "COM2", "no-such-device: порт пропал");
    row("directory", "COM2=@", "COM2", "@");
    row("regular file", "COM2=@/plain-file", "COM2", "plain-file");
}

void TstComOpen::badTargetsFail()
{
    QFETCH(QString, line);
    QFETCH(QString, name);
    QFETCH(QString, reasonPart);
    QFile plain(Config().Root() + "/plain-file");
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(Config().WritePortMap({line.replace('@', Config().Root())}));
    reasonPart.replace('@', Config().Root());

    THandle handle = 5;
    const TResult refused = OpenCOMPort(name, 19200, handle);
    QVERIFY(!refused);
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    QVERIFY2(refused.Reason().contains(reasonPart), qPrintable(refused.Reason()));
}

void TstComOpen::refusedLineSettingsKeepHandleForClose()
{
    // A character device that is no terminal opens but refuses every line setting.
    QVERIFY(Config().WritePortMap({"COM4=/dev/null"}));
    THandle handle = INVALID_HANDLE_VALUE;
    const TResult refused = OpenCOMPort("COM4", 19200, handle);
    QVERIFY(!refused);
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    QVERIFY(!refused.Reason().isEmpty());
    QVERIFY(CloseCOMPort(handle));
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    // The close released the port completely.
    QVERIFY(!OpenCOMPort("COM4", 19200, handle));
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    QVERIFY(CloseCOMPort(handle));
}

void TstComOpen::deviceWithoutPermissionFails_data()
{
    // The terminal's mode: its group (dialout, as for a real serial port) may use it, so
    // joining the group is the advice; or nobody but its owner may, and no group would help.
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("groupAdvised");
    QTest::newRow("group may use it") << 0660 << true;
    QTest::newRow("nobody may") << 0 << false;
}

void TstComOpen::deviceWithoutPermissionFails()
{
    QFETCH(int, mode);
    QFETCH(bool, groupAdvised);
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    const bool root = ::geteuid() == 0;
    if (!root && mode != 0)
        QSKIP("only root can keep its own terminal from itself while its group may use it");
    const QByteArray terminal = QFile::encodeName(pty.SlavePath());
    if (root) {
        const group *dialout = ::getgrnam("dialout");
        if (!dialout)
            QSKIP("this machine has no group dialout to give the terminal");
        QVERIFY(::chown(terminal.constData(), uid_t(-1), dialout->gr_gid) == 0);
    }
    QVERIFY(::chmod(terminal.constData(), mode_t(mode)) == 0);
    if (root) {
        // Root opens anything: act as an unprivileged user for the attempt. The map must then be
        // readable by that user; the terminal stays closed to it.
        for (const QString &dir :
             {Config().Root(), Config().Root() + "/config", Config().Root() + "/config/Varo",
              Config().Root() + "/config/Varo/Lindqvar"})
            QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(Config().ConfigDir() + "ports.conf").constData(), 0644) ==
                0);
        if (::seteuid(65534) != 0)
            QSKIP("this machine does not let root act as the unprivileged user 65534");
    }
    THandle handle = 9;
    const TResult result = OpenCOMPort("COM3", 19200, handle);
    const bool opened = result.Ok();
    const QString reason = result.Reason();
    if (root)
        QVERIFY(::seteuid(0) == 0);
    if (opened)
        CloseCOMPort(handle);
    QVERIFY(!opened);
    QCOMPARE(handle, INVALID_HANDLE_VALUE);
    // The reason names the device's group (tty on most systems, dialout for real serial ports)
    // and the command to join it, where joining would help.
    struct stat st {
    };
    QCOMPARE(::stat(QFile::encodeName(pty.SlavePath()).constData(), &st), 0);
    const group *owner = ::getgrgid(st.st_gid);
    QVERIFY(owner);
    const QString name = QString::fromLocal8Bit(owner->gr_name);
    QVERIFY2(reason.contains(pty.SlavePath()) &&
                 reason.contains(QStringLiteral("нет прав на доступ к порту")),
             qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("для группы ") + name) == groupAdvised &&
                 reason.contains(QStringLiteral("sudo usermod -aG %1 ").arg(name)) == groupAdvised,
             qPrintable(reason));
    const QString lockFile = PortLock::LockFilePath(pty.SlavePath());
    if (!lockFile.isEmpty())
        QVERIFY(!QFile::exists(lockFile));
}

void TstComOpen::lineSettings_data()
{
    QTest::addColumn<int>("speed");
    // Every speed the COM speed dialog offers.
    for (int speed : {600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200,
                      128000, 256000})
        QTest::newRow(qPrintable(QString::number(speed))) << speed;
}

void TstComOpen::lineSettings()
{
    QFETCH(int, speed);
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    // Start from a cooked, parity-checking, flow-controlled line so every setting must change.
    struct termios cooked = {};
    QVERIFY(::tcgetattr(pty.SlaveFd(), &cooked) == 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= IXON | IXOFF | ICRNL;
    cooked.c_oflag |= OPOST;
    cooked.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    cooked.c_cflag &= ~tcflag_t(CSIZE | CLOCAL);
    cooked.c_cflag |= CS7;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    QVERIFY(::tcsetattr(pty.SlaveFd(), TCSANOW, &cooked) == 0);

    THandle handle = INVALID_HANDLE_VALUE;
    QVERIFY_OK(OpenCOMPort("COM3", speed, handle));
    struct termios tio = {};
    QVERIFY(::tcgetattr(int(handle), &tio) == 0);
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(int(tio.c_cc[VMIN]), 0);
    QCOMPARE(int(tio.c_cc[VTIME]), 0);
    unsigned in = 0;
    unsigned out = 0;
    QVERIFY(SerialTermios2::GetSpeed(int(handle), in, out));
    QCOMPARE(out, unsigned(speed));
    QCOMPARE(in, unsigned(speed));
    QVERIFY(CloseCOMPort(handle));
}

void TstComOpen::customSpeedGivesWayToStandard()
{
    TPty pty;
    QVERIFY(pty.IsValid());
    QVERIFY(Config().WritePortMap({"COM3=" + pty.SlavePath()}));
    THandle handle = INVALID_HANDLE_VALUE;
    for (int speed : {256000, 9600, 14400, 115200}) {
        QVERIFY_OK(OpenCOMPort("COM3", speed, handle));
        unsigned in = 0;
        unsigned out = 0;
        QVERIFY(SerialTermios2::GetSpeed(int(handle), in, out));
        QCOMPARE(out, unsigned(speed));
        QCOMPARE(in, unsigned(speed));
        QVERIFY(CloseCOMPort(handle));
    }
    // A speed that is no speed is refused; the port stays open for the caller to close.
    for (int speed : {0, -9600}) {
        QVERIFY(!OpenCOMPort("COM3", speed, handle));
        QVERIFY(handle != INVALID_HANDLE_VALUE);
        QVERIFY(CloseCOMPort(handle));
    }
}

QTEST_GUILESS_MAIN(TstComOpen)
#include "tst_comopen.moc"
