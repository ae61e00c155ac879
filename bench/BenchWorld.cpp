#include "BenchWorld.h"

#include "serial/PortMap.h"
#include "settings/Paths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

namespace
{

const char *IconName(TMsgIcon icon)
{
    switch (icon) {
    case TMsgIcon::Information:
        return "information";
    case TMsgIcon::Warning:
        return "warning";
    case TMsgIcon::Error:
        return "error";
    }
    return "?";
}

// The setup program the wizard starts: it never connects (the benchmark's own client is the
// setup program's connection) and costs nothing while it waits to be terminated.
const char SetupScript[] = "#!/bin/sh\nexec sleep infinity\n";

} // namespace

TBenchDialogs::TBenchDialogs()
{
    TDialogs::SetInstance(this);
}

TBenchDialogs::~TBenchDialogs()
{
    TDialogs::SetInstance(nullptr);
}

void TBenchDialogs::MessageBox(QWidget *, const QString &caption, const QString &text,
                               TMsgIcon icon)
{
    ++Shown;
    std::fprintf(stderr, "message box (%s) \"%s\": %s\n", IconName(icon),
                 caption.toUtf8().constData(), text.toUtf8().constData());
}

QString TBenchDialogs::SaveFileName(QFileDialog &)
{
    return {};
}

TBenchWorld::TBenchWorld() = default;

TBenchWorld::~TBenchWorld()
{
    for (const QByteArray &name : FSetVariables)
        qunsetenv(name.constData());
    Paths::SetProgramDirForTesting(QString());
}

bool TBenchWorld::Prepare(QString &error)
{
    if (!FDir.isValid()) {
        error = QStringLiteral("no temporary directory: ") + FDir.errorString();
        return false;
    }
    const QDir root(FDir.path());
    const QString runtime = root.filePath(QStringLiteral("runtime"));
    if (!root.mkpath(QStringLiteral("config")) || !root.mkpath(QStringLiteral("sys")) ||
        !root.mkpath(QStringLiteral("dev")) || !root.mkpath(QStringLiteral("program")) ||
        ::mkdir(QFile::encodeName(runtime).constData(), 0700) != 0) {
        error = QStringLiteral("cannot create the directories in ") + FDir.path();
        return false;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    FSetVariables = {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"};
    PortMap::SetDiscoveryRoots(root.filePath(QStringLiteral("sys")),
                               root.filePath(QStringLiteral("dev")));
    QDir().mkpath(Paths::ConfigDir());

    const QString program = root.filePath(QStringLiteral("program"));
    Paths::SetProgramDirForTesting(program);
    QFile ini(program + QStringLiteral("/setup.ini"));
    QFile setup(program + QStringLiteral("/BenchSetup"));
    if (!ini.open(QIODevice::WriteOnly) || ini.write("[programs]\nDEMO=BenchSetup\n") < 0 ||
        !setup.open(QIODevice::WriteOnly) || setup.write(SetupScript) < 0 ||
        !setup.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        error = QStringLiteral("cannot write the setup program into ") + program;
        return false;
    }
    return true;
}

QString ToolsDir()
{
    const QString dir = qEnvironmentVariable("LINDQVAR_TOOLS_DIR");
    if (!dir.isEmpty())
        return dir;
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../tools"));
}

TChild::~TChild()
{
    Stop();
}

bool TChild::Start(const QString &program, const QStringList &args, QString &error)
{
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(program, args);
    if (!FProcess.waitForStarted(10000)) {
        error = program + QStringLiteral(": ") + FProcess.errorString();
        return false;
    }
    return true;
}

QString TChild::WaitLine(const QString &prefix, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        qsizetype nl;
        while ((nl = FOut.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(FOut.left(nl));
            FOut.remove(0, nl + 1);
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed();
        }
        if (deadline.hasExpired() || FProcess.state() == QProcess::NotRunning)
            return {};
        FProcess.waitForReadyRead(100);
        FOut += FProcess.readAllStandardOutput();
    }
}

void TChild::Stop()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(FProcess.processId()), SIGTERM);
    if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
}

quint16 FreeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}
