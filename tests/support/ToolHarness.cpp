#include "support/ToolHarness.h"

#include "platform/Deadline.h"
#include "settings/Paths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

QString toolPath(const QString &name)
{
    const QString dir = qEnvironmentVariable("LINDQVAR_TOOLS_DIR");
    if (!dir.isEmpty())
        return QDir(dir).filePath(name);
    return QDir(QCoreApplication::applicationDirPath())
        .filePath(QStringLiteral("../tools/") + name);
}

ToolProcess::~ToolProcess()
{
    if (m_proc.state() != QProcess::NotRunning) {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
}

bool ToolProcess::start(const QString &tool, const QStringList &args)
{
    return startProgram(toolPath(tool), args);
}

bool ToolProcess::startOnPort(const QString &tool, const QString &com, const QStringList &args)
{
    return start(tool, QStringList{QStringLiteral("--ports-conf"), Paths::PortMapFile(),
                                   QStringLiteral("--com"), com} +
                           args) &&
           !waitLine(QStringLiteral("PTY ")).isEmpty();
}

bool ToolProcess::startProgram(const QString &program, const QStringList &args)
{
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_proc.start(program, args);
    return m_proc.waitForStarted(10000);
}

QString ToolProcess::waitLine(const QString &prefix, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        int nl;
        while ((nl = m_out.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_out.left(nl));
            m_out.remove(0, nl + 1);
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed();
        }
        if (deadline.hasExpired() || m_proc.state() == QProcess::NotRunning)
            return {};
        m_proc.waitForReadyRead(100);
        m_out += m_proc.readAllStandardOutput();
    }
}

void ToolProcess::signal(int sig)
{
    ::kill(pid_t(m_proc.processId()), sig);
}

bool ToolProcess::stop()
{
    signal(SIGTERM);
    return m_proc.waitForFinished(20000) && m_proc.exitStatus() == QProcess::NormalExit &&
           m_proc.exitCode() == 0;
}

LineClient::LineClient(const QString &path)
{
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0)
        return;
    termios t{};
    tcgetattr(m_fd, &t);
    cfmakeraw(&t);
    tcsetattr(m_fd, TCSANOW, &t);
}

LineClient::~LineClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LineClient::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done)); });
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EAGAIN ||
                 WaitForDescriptor(m_fd, POLLOUT, TDeadline(std::chrono::seconds(10))) <= 0)
            return false;
    }
    return true;
}

QByteArray LineClient::readSome(int timeoutMs)
{
    if (!m_pending.isEmpty())
        return std::exchange(m_pending, {});
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buf[8192];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}

QByteArray LineClient::readUntil(const QByteArray &needle, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray got;
    while (!got.contains(needle) && !deadline.hasExpired())
        got += readSome(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
    return got;
}

QByteArray LineClient::readFor(int ms)
{
    QDeadlineTimer deadline(ms);
    QByteArray got;
    while (!deadline.hasExpired())
        got += readSome(int(qMax<qint64>(1, qMin<qint64>(50, deadline.remainingTime()))));
    return got;
}

bool readFrame(LineClient &line, tools::FrameParser::Event &event, int timeoutMs, QByteArray *raw)
{
    tools::FrameParser parser;
    QDeadlineTimer deadline(timeoutMs);
    QByteArray pending;
    while (!deadline.hasExpired()) {
        if (pending.isEmpty())
            pending = line.readSome(100);
        if (raw)
            *raw += pending;
        while (!pending.isEmpty()) {
            const size_t used =
                parser.feed(std::string_view(pending.constData(), size_t(pending.size())), event);
            pending.remove(0, qsizetype(used));
            if (event.result != tools::FrameParser::Result::None)
                return true;
        }
    }
    return false;
}

QByteArray frameBytes(quint8 seq, quint8 type, const QByteArray &payload)
{
    const std::string s = tools::encodeFrame(
        tools::Frame{seq, type, std::string(payload.constData(), size_t(payload.size()))});
    return QByteArray(s.data(), qsizetype(s.size()));
}
