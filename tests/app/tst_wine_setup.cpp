// A vendor's setup program is a Windows program: the wizard starts its copy through Wine. A cable
// link through the real main window to lindqvar-device, with setup.ini naming the Windows build of
// the setup stand-in (lindqvar-setup-demo.exe), run under real Wine in the test run's own prefix
// (WINEPREFIX, prepared once by the wine_prefix fixture).

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "settings/Paths.h"
#include "support/LinkScript.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/ToolHarness.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>

namespace
{

const QString WindowsDemo = QStringLiteral("lindqvar-setup-demo.exe");

// No process of the group is left, a zombie included (a zombie still counts for kill()).
bool GroupIsGone(pid_t group)
{
    return group > 0 && ::kill(-group, 0) != 0 && errno == ESRCH;
}

} // namespace

class TstWineSetup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowsSetupProgramRunsUnderWine();
    void withoutWineNothingStarts();

private:
    // Starts the device as COM4, then the wizard with COM4 and the cable type selected, and
    // installs the Windows stand-in (without an executable bit, as copied from a Windows share).
    bool StartWizardWithDevice(const QString &demoOptions);

    std::unique_ptr<TWizardFixture> F;
    std::unique_ptr<ToolProcess> FDevice;
    QByteArray FSavedPath;
};

void TstWineSetup::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("wine")).isEmpty())
        QSKIP("wine is not installed (scripts/install-deps installs it)");
    if (!QFileInfo::exists(toolPath(WindowsDemo)))
        QSKIP("lindqvar-setup-demo.exe was not built (it needs g++-mingw-w64-x86-64)");
    QVERIFY2(!qEnvironmentVariableIsEmpty("WINEPREFIX"), "the test runs in a prefix of its own");
}

void TstWineSetup::init()
{
    F = std::make_unique<TWizardFixture>();
    FSavedPath = qgetenv("PATH");
    qunsetenv("WINEDEBUG");
}

void TstWineSetup::cleanup()
{
    F.reset();
    FDevice.reset();
    qputenv("PATH", FSavedPath);
    qunsetenv("LINDQVAR_SETUP_DEMO_OPTIONS");
}

bool TstWineSetup::StartWizardWithDevice(const QString &demoOptions)
{
    FDevice = std::make_unique<ToolProcess>();
    return FDevice->startOnPort(QStringLiteral("lindqvar-device"), QStringLiteral("COM4")) &&
           F->StartOnPort(QStringLiteral("COM4"), TConnectionType::Cable) &&
           F->InstallSetupDemo(demoOptions, QStringLiteral("VendorSetup"), WindowsDemo) &&
           QFile::setPermissions(F->ProgramDir() + QStringLiteral("VendorSetup"),
                                 QFile::ReadOwner | QFile::WriteOwner);
}

void TstWineSetup::windowsSetupProgramRunsUnderWine()
{
    const QString transcript = F->Config.Root() + QStringLiteral("/transcript.txt");
    QVERIFY(StartWizardWithDevice(QStringLiteral("--port %1 --exchanges 30 --transcript ") +
                                  transcript));
    TMainLindqvarForm &w = F->Main();

    TSetupProgram setup;
    QString result;
    QByteArray wineDebug;
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup))
                return false;
            if (wineDebug.isEmpty()) {
                QFile environ(QStringLiteral("/proc/%1/environ").arg(setup.Pid));
                if (environ.open(QIODevice::ReadOnly))
                    for (const QByteArray &entry : environ.readAll().split('\0'))
                        if (entry.startsWith("WINEDEBUG="))
                            wineDebug = entry;
            }
            result = SetupDemoResult(transcript);
            if (result.isEmpty())
                return false;
            // The Windows program has done its exchanges through Wine's sockets: disconnect.
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); }, 120000);
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);

    QVERIFY(script.Succeeded(QStringLiteral("the Windows setup program's exchanges")));
    QVERIFY2(result.startsWith(QStringLiteral("RESULT OK 30 of 30")), qPrintable(result));
    QVERIFY(F->LogHas(QStringLiteral("Программа настройки запущена через Wine: ") + setup.Copy));
    // Wine's own debug output is off, as the user's environment does not ask for it.
    QCOMPARE(wineDebug, QByteArray("WINEDEBUG=-all"));
    QVERIFY(setup.Copy.endsWith(QStringLiteral("/VendorSetup.exe")));
    // The disconnect ended the program with its whole group, reaped, and its copy is gone. A
    // killed member that is not our child is reaped by the system a moment later, and a leader
    // not gone within the window's bounded wait by the reaper thread: both are waited for.
    QTRY_VERIFY_WITH_TIMEOUT(ProcessIsGone(setup.Pid), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(GroupIsGone(setup.Group), 10000);
    QVERIFY(!QFile::exists(setup.Copy));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(ExpectIdle(w));
    QVERIFY(F->Dialogs.Boxes.isEmpty());
}

void TstWineSetup::withoutWineNothingStarts()
{
    QVERIFY(StartWizardWithDevice(QStringLiteral("--port %1")));
    // Wine is not on PATH (the device is running already).
    const QString empty = F->Config.Root() + QStringLiteral("/no-wine");
    QVERIFY(QDir().mkpath(empty));
    qputenv("PATH", QFile::encodeName(empty));
    TMainLindqvarForm &w = F->Main();

    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton); // the attempt ends inside the click

    QCOMPARE(F->Dialogs.Boxes.size(), 2);
    QCOMPARE(F->Dialogs.Boxes[0].Caption, QStringLiteral("Ошибка"));
    QCOMPARE(F->Dialogs.Boxes[0].Icon, TMsgIcon::Error);
    QVERIFY2(F->Dialogs.Boxes[0].Text.contains(QStringLiteral("Wine")) &&
                 F->Dialogs.Boxes[0].Text.contains(QStringLiteral("apt install wine")),
             qPrintable(F->Dialogs.Boxes[0].Text));
    QCOMPARE(F->Dialogs.Boxes[1].Caption, QStringLiteral("Error"));
    QCOMPARE(F->Dialogs.Boxes[1].Text,
             QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    QVERIFY(
        F->LogLines().filter(QStringLiteral("программа для Windows, а Wine не найден")).size() ==
        1);
    QVERIFY(F->LogHas(QStringLiteral("Не найдена программа настройки")));
    QVERIFY(!w.Session().SetupStarted());
    QVERIFY(!QFile::exists(Paths::PrivateTempDir() + QStringLiteral("VendorSetup.exe")));
    QVERIFY(ExpectIdle(w));
}

QTEST_MAIN(TstWineSetup)
#include "tst_wine_setup.moc"
