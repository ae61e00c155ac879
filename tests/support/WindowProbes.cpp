#include "support/WindowProbes.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "net/TServerSocket.h"
#include "settings/Paths.h"

#include <QComboBox>
#include <QTest>
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
    return w.Label7->palette().color(QPalette::WindowText);
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
    return w.CommandState() == TCommandState::Connected && w.ServerSocket->ActiveConnections() > 0;
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
    const bool opened = OpenCOMPort(com, 19200, handle).Ok();
    CloseCOMPort(handle);
    return opened;
}

#define IDLE_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!QTest::qVerify(static_cast<bool>(condition), #condition, "", __FILE__, __LINE__))     \
            return false;                                                                          \
    } while (false)

bool ExpectIdle(TMainLindqvarForm &w, const QString &status, bool alarm)
{
    IDLE_CHECK(w.CommandState() == TCommandState::Idle);
    IDLE_CHECK(w.URLLabel1->text() == QStringLiteral("Подключить"));
    IDLE_CHECK(w.URLLabel1->isEnabled());
    if (!QTest::qCompare(w.Label7->text(), status, "status", "expected", __FILE__, __LINE__))
        return false;
    IDLE_CHECK(StatusColor(w) == (alarm ? AlarmStatusColor : NormalStatusColor()));
    IDLE_CHECK(w.ConnectTypeComboBox->isEnabled() && w.PortsListComboBox->isEnabled() &&
               w.PhoneNumber->isEnabled() && w.SpeedButton1->isEnabled());
    IDLE_CHECK(!w.ServerSocket->Active());
    IDLE_CHECK(PortCanBeOpened(w.PortsListComboBox->currentText()));
    return true;
}
