#include "support/WindowProbes.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "endpoint/TServerSocket.h"
#include "settings/COMSettingsUnit.h"
#include "settings/Paths.h"
#include "support/LinkScript.h"
#include "support/MainFormAccess.h"
#include "support/MainFormControls.h"
#include "support/Pty.h"
#include "support/WizardFixture.h"

#include <QComboBox>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <QFile>
#include <QLabel>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QColor StatusColor(const TMainLindqvarForm &w)
{
    return Ui(w).Label7->palette().color(QPalette::WindowText);
}

bool ProcessIsAlive(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

bool InstanceLockIsHeld()
{
    const int fd =
        ::open(QFile::encodeName(Paths::InstanceLockFile()).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool ProcessIsGone(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool SetupProgramConnected(const TMainLindqvarForm &w)
{
    return w.Session().CommandState() == TCommandState::Connected &&
           Ui(w).ServerSocket->ActiveConnections() > 0;
}

bool NoteSetupProgram(TMainLindqvarForm &w, TSetupProgram &program, const QString &transcript)
{
    if (w.Session().CommandState() != TCommandState::Connected || !w.Session().SetupStarted())
        return false;
    program = {w.Session().Setup().Process().hProcess, w.Session().Setup().Process().hProcessGroup,
               w.Session().Setup().File(),
               transcript.isEmpty() ? QString() : SetupDemoResult(transcript)};
    return transcript.isEmpty() || !program.Result.isEmpty();
}

QString SetupDemoResult(const QString &transcript)
{
    QFile file(transcript);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const qsizetype at = text.indexOf("RESULT ");
    return at < 0 ? QString() : QString::fromUtf8(text.mid(at).trimmed());
}

bool PortCanBeOpened(const QString &com)
{
    THandle handle = INVALID_HANDLE_VALUE;
    // A line on the network connects in the background, within its own bound.
    const bool opened = OpenCOMPortWaiting(com, 19200, handle, [] {
                            QThread::msleep(10);
                            return true;
                        }).Ok();
    CloseCOMPort(handle);
    return opened;
}

#define PROBE_CHECK(condition)                                                                     \
    do {                                                                                           \
        if (!QTest::qVerify(static_cast<bool>(condition), #condition, "", __FILE__, __LINE__))     \
            return false;                                                                          \
    } while (false)

bool ExpectIdle(TMainLindqvarForm &w, const QString &status, bool alarm)
{
    PROBE_CHECK(w.Session().CommandState() == TCommandState::Idle);
    PROBE_CHECK(Ui(w).URLLabel1->text() == QStringLiteral("Подключить"));
    PROBE_CHECK(Ui(w).URLLabel1->isEnabled());
    if (!QTest::qCompare(Ui(w).Label7->text(), status, "status", "expected", __FILE__, __LINE__))
        return false;
    PROBE_CHECK(StatusColor(w) == (alarm ? AlarmStatusColor : NormalStatusColor()));
    PROBE_CHECK(Ui(w).ConnectTypeComboBox->isEnabled() && Ui(w).PortsListComboBox->isEnabled() &&
                Ui(w).PhoneNumber->isEnabled() && Ui(w).SpeedButton1->isEnabled());
    PROBE_CHECK(!Ui(w).ServerSocket->Active());
    PROBE_CHECK(PortCanBeOpened(Ui(w).PortsListComboBox->currentText()));
    return true;
}

bool CloseEndsTheLink(TMainLindqvarForm &w)
{
    TSetupProgram setup;
    TLinkScript script(
        [&] {
            if (!SetupProgramConnected(w) || !NoteSetupProgram(w, setup))
                return false;
            w.close();
            return true;
        },
        [&] { w.close(); }, 90000);
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    // A cable link runs inside the click; a modem link in the dialer's completion, after it.
    PROBE_CHECK(QTest::qWaitFor([&] { return script.Done(); }, 90000) && script.Succeeded());
    PROBE_CHECK(ProcessIsGone(setup.Pid));
    PROBE_CHECK(!QFile::exists(setup.Copy));
    PROBE_CHECK(PortCanBeOpened(Ui(w).PortsListComboBox->currentText()));
    PROBE_CHECK(!Ui(w).ServerSocket->Active());
    return true;
}

bool RelayThirtyExchanges(TWizardFixture &world, const QString &device, int &speed)
{
    const QString transcript = world.Config.Root() + QStringLiteral("/transcript.txt");
    PROBE_CHECK(world.InstallSetupDemo(QStringLiteral("--port %1 --exchanges 30 --transcript ") +
                                       transcript));
    TMainLindqvarForm &w = world.Main();
    Ui(w).COMSettingsForm->SpeedComboBox->setCurrentText(QStringLiteral("57600"));
    TSetupProgram setup;
    TLinkScript script(
        [&] {
            if (!NoteSetupProgram(w, setup, transcript))
                return false;
            speed = LineSpeedOf(device);
            QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
            return true;
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    const QString log = world.LogLines().join(u'\n');
    if (!QTest::qVerify(script.Succeeded(QStringLiteral("the setup program's exchanges")),
                        "the exchanges ran", qPrintable(log), __FILE__, __LINE__) ||
        !QTest::qVerify(setup.Result.startsWith(QStringLiteral("RESULT OK")), "RESULT OK",
                        qPrintable(setup.Result + u'\n' + log), __FILE__, __LINE__))
        return false;
    return ExpectIdle(w);
}
