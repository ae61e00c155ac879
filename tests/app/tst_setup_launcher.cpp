// The setup launcher with real child processes: a stored program that records how it was
// started, its private copy, and hostile setup.ini files; its boxes and log lines are recorded.

#include "app/SetupLauncher.h"
#include "settings/Paths.h"
#include "support/SwitchRows.h"
#include "support/WizardFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QByteArray Reply("+VER_INFO: \"1\",\"REC.1.00\",\"SN7\"\r\nOK\r\n");

// Records its start ($0, the argument count, the working directory) and the number of a
// helper it leaves running in its group, then waits to be ended.
QByteArray RecorderScript(const QByteArray &marker)
{
    return "#!/bin/sh\n"
           "sleep 1000 </dev/null >/dev/null 2>&1 &\n"
           "helper=$!\n"
           "printf '%s\\n' \"" +
           marker +
           "\" \"$0\" \"$#\" \"$(pwd)\" \"$helper\" "
           "> \"$LINDQVAR_TEST_RECORD.part\"\n"
           "mv \"$LINDQVAR_TEST_RECORD.part\" \"$LINDQVAR_TEST_RECORD\"\n"
           "exec sleep 1000 </dev/null\n";
}

bool WriteFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.setPermissions(mode);
}

constexpr QFileDevice::Permissions Executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ExeGroup;

// Not running any more: reaped, or (for a process that is not our child) at least dead.
bool ProcessIsGone(pid_t pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return ::kill(pid, 0) != 0 && errno == ESRCH;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) == "Z";
}

QStringList OpenDescriptors(pid_t pid)
{
    QStringList names = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class TstSetupLauncher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void missingSetupIni_data();
    void missingSetupIni();
    void temporaryDirectoryRefused_data();
    void temporaryDirectoryRefused();
    void startsItsCopyAndEndsIt();
    void listedModelVariants_data();
    void listedModelVariants();
    void programThatEndedByItselfIsReaped();
    void olderCopyIsStartedAsItIs();
    void copyThatFailedToStartIsRemoved();
    void storedProgramMissing();
    void nothingStartedForBadEntries_data();
    void nothingStartedForBadEntries();
    void alreadyStartedDoesNothing();
    void terminateWithoutAProgram();

private:
    QString Stored(const QString &name) const { return F->ProgramDir() + name; }
    QString Copy(const QString &name) const { return Paths::PrivateTempDir() + name + ".exe"; }
    // The record of the started program, once it has written it.
    QStringList WaitForRecord();

    // The wizard's private world, without its windows.
    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<TSetupLauncher> L;
    QStringList FLog;
    QString FRecord;
};

void TstSetupLauncher::init()
{
    F = std::make_unique<TWizardFixture>();
    L = std::make_unique<TSetupLauncher>(nullptr, [this](const QString &line) { FLog << line; });
    FLog.clear();
    FRecord = F->Config.Root() + QStringLiteral("/record");
    qputenv("LINDQVAR_TEST_RECORD", QFile::encodeName(FRecord));
}

void TstSetupLauncher::cleanup()
{
    L.reset(); // the launcher ends a program it started
    F.reset();
    qunsetenv("LINDQVAR_TEST_RECORD");
}

QStringList TstSetupLauncher::WaitForRecord()
{
    QFile file(FRecord);
    for (int i = 0; i < 1000 && !file.exists(); ++i)
        QTest::qWait(20);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void TstSetupLauncher::missingSetupIni_data()
{
    AddSwitchRows("directory", "no file", "a directory of that name");
}

void TstSetupLauncher::missingSetupIni()
{
    QFETCH(bool, directory);
    if (directory)
        QVERIFY(QDir().mkdir(Stored(QStringLiteral("setup.ini"))));
    L->Launch(Reply);
    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Caption, QStringLiteral("Ошибка"));
    QCOMPARE(F->Dialogs.Boxes[0].Text,
             QStringLiteral("Оболочка не запущена, не найден файл настроек"));
    QCOMPARE(F->Dialogs.Boxes[0].Icon, TMsgIcon::Error);
    QVERIFY(!L->Started());
}

void TstSetupLauncher::temporaryDirectoryRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("open to others") << "0755";
    QTest::newRow("symbolic link") << "link";
    QTest::newRow("regular file") << "file";
    if (::geteuid() == 0)
        QTest::newRow("owned by another user") << "stranger";
}

void TstSetupLauncher::temporaryDirectoryRefused()
{
    QFETCH(QString, kind);
    QVERIFY(WriteFile(Stored(QStringLiteral("recorder")), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    const QString dir = F->Config.RuntimeDir() + QStringLiteral("/lindqvar");
    const QByteArray native = QFile::encodeName(dir);
    if (kind == u"0755") {
        QCOMPARE(::mkdir(native.constData(), 0755), 0);
        QCOMPARE(::chmod(native.constData(), 0755), 0);
    } else if (kind == u"link") {
        const QString target = F->Config.Root() + QStringLiteral("/elsewhere");
        QCOMPARE(::mkdir(QFile::encodeName(target).constData(), 0700), 0);
        QVERIFY(QFile::link(target, dir));
    } else if (kind == u"file") {
        QVERIFY(WriteFile(dir, "x", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    } else {
        QCOMPARE(::mkdir(native.constData(), 0700), 0);
        QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
    }

    L->Launch(Reply);
    QCOMPARE(F->Dialogs.Boxes.size(), 1);
    QCOMPARE(F->Dialogs.Boxes[0].Caption, QStringLiteral("Ошибка"));
    QCOMPARE(F->Dialogs.Boxes[0].Text, QStringLiteral("Оболочка не запущена, системная ошибка"));
    QVERIFY(!L->Started());
    QVERIFY(!QFile::exists(FRecord));
}

void TstSetupLauncher::startsItsCopyAndEndsIt()
{
    QVERIFY(WriteFile(Stored(QStringLiteral("recorder")), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni("[programs]\nrec=recorder\nREC=other\n"));
    // A descriptor left inheritable by mistake must not reach the program either.
    const int stray = ::open("/dev/null", O_RDONLY);
    QVERIFY(stray > 2);

    L->Launch(Reply);
    ::close(stray);
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QVERIFY(L->Started());
    const QString copy = Copy(QStringLiteral("recorder"));
    QCOMPARE(L->File(), copy);
    QVERIFY(QFileInfo(copy).isFile());
    struct stat st {
    };
    QCOMPARE(::stat(QFile::encodeName(copy).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0750)); // the stored program's bits, exactly
    const pid_t pid = L->Process().hProcess;
    QVERIFY(pid > 0);

    const QStringList record = WaitForRecord();
    QCOMPARE(record.size(), 5);
    QCOMPARE(record[0], QStringLiteral("new"));
    QCOMPARE(record[1], copy); // its path, whole, as the only argument
    QCOMPARE(record[2], QStringLiteral("0"));
    QCOMPARE(record[3] + u'/', F->ProgramDir());
    const pid_t helper = record[4].toInt();
    QVERIFY(helper > 0);
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget() + u'/',
             F->ProgramDir());
    // Once it has become the waiting program, it holds the standard descriptors only.
    QTRY_VERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).endsWith("sleep"));
    QCOMPARE(OpenDescriptors(pid), (QStringList{"0", "1", "2"}));

    L->Terminate();
    QVERIFY(!L->Started());
    QVERIFY(ProcessIsGone(pid));
    QTRY_VERIFY(ProcessIsGone(helper)); // its whole process group ends with it
    QVERIFY(!QFile::exists(copy));
    QVERIFY(QFile::exists(Stored(QStringLiteral("recorder"))));
}

void TstSetupLauncher::listedModelVariants_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("name");
    QTest::newRow("trailing blank kept in both names")
        << QByteArray("REC=recorder \n") << Reply << "recorder ";
    QTest::newRow("first of two lines, any letter case")
        << QByteArray("x=y\r\nrEc=recorder\r\nREC=other\r\n") << Reply << "recorder";
    QTest::newRow("CR line ends") << QByteArray("[a]\rREC=recorder\r") << Reply << "recorder";
    QTest::newRow("UTF-16 LE with its mark")
        << QByteArray("\xff\xfeR\0E\0C\0=\0r\0e\0c\0o\0r\0d\0e\0r\0\n\0", 28) << Reply
        << "recorder";
    QTest::newRow("model without quotes, blanks before it")
        << QByteArray("REC=recorder\n") << QByteArray("+VER_INFO: 1, \t REC.2.05,SN\r\nOK\r\n")
        << "recorder";
}

void TstSetupLauncher::listedModelVariants()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, reply);
    QFETCH(QString, name);
    QVERIFY(WriteFile(Stored(name), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni(ini));

    L->Launch(reply);
    QVERIFY(L->Started());
    QCOMPARE(L->File(), Copy(name));
    const QStringList record = WaitForRecord();
    QVERIFY(record.size() >= 2);
    QCOMPARE(record[1], Copy(name));
    L->Terminate();
    QVERIFY(!QFile::exists(Copy(name)));
}

void TstSetupLauncher::programThatEndedByItselfIsReaped()
{
    QVERIFY(WriteFile(Stored(QStringLiteral("quick")), "#!/bin/sh\nexit 3\n", Executable));
    QVERIFY(F->WriteSetupIni("REC=quick\n"));
    L->Launch(Reply);
    QVERIFY(L->Started());
    const pid_t pid = L->Process().hProcess;
    // Ended, but still our unreaped child until the window lets it go.
    QTRY_VERIFY(ProcessIsGone(pid));
    QVERIFY(::kill(pid, 0) == 0);

    L->Terminate();
    QVERIFY(::kill(pid, 0) != 0 && errno == ESRCH);
    QVERIFY(!QFile::exists(Copy(QStringLiteral("quick"))));
    QVERIFY(!L->Started());
}

void TstSetupLauncher::olderCopyIsStartedAsItIs()
{
    QVERIFY(WriteFile(Stored(QStringLiteral("recorder")), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    const QString copy = Copy(QStringLiteral("recorder"));
    QVERIFY(!Paths::PrivateTempDir().isEmpty());
    const QByteArray older = RecorderScript("old");
    QVERIFY(WriteFile(copy, older, Executable));

    L->Launch(Reply);
    QVERIFY(L->Started());
    const QStringList record = WaitForRecord();
    QVERIFY(!record.isEmpty());
    QCOMPARE(record[0], QStringLiteral("old"));
    QFile file(copy);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), older);
    L->Terminate();
}

void TstSetupLauncher::copyThatFailedToStartIsRemoved()
{
    // Stored without its executable bit, as after unzipping: the start fails, and the copy made
    // for it must not stand in the way once the user has fixed the stored file.
    const QString stored = Stored(QStringLiteral("recorder"));
    QVERIFY(WriteFile(stored, RecorderScript("new"),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    L->Launch(Reply);
    QVERIFY(!L->Started());
    QVERIFY(!QFile::exists(Copy(QStringLiteral("recorder"))));
    const QStringList reasons =
        FLog.filter(QStringLiteral("Не удалось запустить программу настройки"));
    QCOMPARE(reasons.size(), 1);
    QVERIFY2(reasons[0].contains(Copy(QStringLiteral("recorder"))), qPrintable(reasons[0]));

    QVERIFY(QFile::setPermissions(stored, Executable));
    L->Launch(Reply);
    QVERIFY(L->Started());
    const QStringList record = WaitForRecord();
    QVERIFY(!record.isEmpty());
    QCOMPARE(record[0], QStringLiteral("new"));
    L->Terminate();
}

void TstSetupLauncher::storedProgramMissing()
{
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    QVERIFY(!Paths::PrivateTempDir().isEmpty());
    QVERIFY(WriteFile(Copy(QStringLiteral("recorder")), RecorderScript("old"), Executable));
    L->Launch(Reply);
    QVERIFY(!L->Started());
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QTest::qWait(300);
    QVERIFY(!QFile::exists(FRecord));
}

void TstSetupLauncher::nothingStartedForBadEntries_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("reply");
    // Stored programs present in every case: "recorder", "sub/recorder", "rec\001order", the
    // directory "subdir", and a "recorder" one level up.
    QTest::newRow("no =") << QByteArray("REC recorder\n[REC]\n") << Reply;
    QTest::newRow("blank around the name") << QByteArray("REC =recorder\n REC=recorder\n") << Reply;
    QTest::newRow("value with /") << QByteArray("REC=sub/recorder\nREC=recorder\n") << Reply;
    QTest::newRow("value with ..") << QByteArray("REC=../recorder\n") << Reply;
    QTest::newRow("value naming a directory") << QByteArray("REC=subdir\n") << Reply;
    QTest::newRow("value with a control character") << QByteArray("REC=rec\001order\n") << Reply;
    QTest::newRow("empty value") << QByteArray("REC=\n") << Reply;
    QTest::newRow("binary bytes") << QByteArray::fromHex("fffe005200450001c3283d0a") << Reply;
    QByteArray huge(2 * 1024 * 1024, 'h');
    QTest::newRow("huge line before the entry") << QByteArray(huge + "\nREC=recorder\n") << Reply;
    // A line cut by the size limit would name "recorder" for "recorderX": it must not count.
    QByteArray cut = "#" + QByteArray(1024 * 1024 - 14, 'c') + "\nREC=recorder";
    QTest::newRow("entry cut at the size limit") << QByteArray(cut + "X\n") << Reply;
    QTest::newRow("only blanks after the comma")
        << QByteArray("=recorder\n") << QByteArray("OK\r\n, \x01\t\r\n");
    QTest::newRow("no model key") << QByteArray("REC=recorder\n") << QByteArray("x,REC\r\nOK\r\n");
}

void TstSetupLauncher::nothingStartedForBadEntries()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, reply);
    const QString dir = F->ProgramDir();
    QVERIFY(WriteFile(dir + "recorder", RecorderScript("new"), Executable));
    QVERIFY(QDir().mkpath(dir + "sub") && QDir().mkpath(dir + "subdir"));
    QVERIFY(WriteFile(dir + "sub/recorder", RecorderScript("new"), Executable));
    QVERIFY(WriteFile(dir + "rec\001order", RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni(ini));

    L->Launch(reply);
    QVERIFY(!L->Started());
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QVERIFY(
        QDir(Paths::PrivateTempDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    QTest::qWait(200);
    QVERIFY(!QFile::exists(FRecord));
}

void TstSetupLauncher::alreadyStartedDoesNothing()
{
    QVERIFY(WriteFile(Stored(QStringLiteral("recorder")), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    L->Launch(Reply);
    QVERIFY(L->Started());
    const pid_t pid = L->Process().hProcess;
    QVERIFY(QFile::remove(Stored(QStringLiteral("setup.ini"))));
    L->Launch(Reply); // no setup.ini now: no box either
    QVERIFY(F->Dialogs.Boxes.isEmpty());
    QVERIFY(L->Started());
    QCOMPARE(L->Process().hProcess, pid);
}

void TstSetupLauncher::terminateWithoutAProgram()
{
    QVERIFY(WriteFile(Stored(QStringLiteral("recorder")), RecorderScript("new"), Executable));
    QVERIFY(F->WriteSetupIni("REC=recorder\n"));
    L->Launch(Reply);
    L->Terminate();
    QVERIFY(!QFile::exists(L->File()));
    // A file of that name made after the end is no copy of a running program: it stays.
    QVERIFY(WriteFile(L->File(), "x", Executable));
    L->Terminate();
    QVERIFY(!L->Started());
    QVERIFY(QFile::exists(L->File()));
}

QTEST_MAIN(TstSetupLauncher)
#include "tst_setup_launcher.moc"
