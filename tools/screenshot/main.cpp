// lindqvar-screenshot: renders the main window and the log window during a real cable link, into
// two PNG files for the README, without a display (run with QT_QPA_PLATFORM=offscreen). The link
// is the demo's: the device stand-in on a pseudo-terminal as COM4 and the setup stand-in started
// by the wizard from setup.ini, in a private config, runtime and program folder.

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "app/Windows.h"
#include "controls/ComboItems.h"
#include "controls/URLLabel.h"
#include "log/LOGUnit.h"
#include "ports/PortMap.h"
#include "settings/Paths.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace
{

int Fail(const char *what)
{
    std::fprintf(stderr, "lindqvar-screenshot: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The private world is set before the application reads its environment.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path() + QStringLiteral("/runtime")));
    QDir().mkpath(home.path() + QStringLiteral("/runtime"));
    QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TLindqvarApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const QString tools = QCoreApplication::applicationDirPath();

    // No hardware of this machine in the port list; the device stand-in adds its own line.
    PortMap::SetDiscoveryRoots(home.path() + QStringLiteral("/none"),
                               home.path() + QStringLiteral("/none"));
    QDir().mkpath(Paths::ConfigDir());
    const QString program = home.path() + QStringLiteral("/program/");
    QDir().mkpath(program);
    Paths::SetProgramDirForTesting(program);
    QFile ini(program + QStringLiteral("setup.ini"));
    if (!QFile::copy(tools + QStringLiteral("/lindqvar-setup-demo"),
                     program + QStringLiteral("DemoSetup")) ||
        !ini.open(QIODevice::WriteOnly) || ini.write("[programs]\nDEMO=DemoSetup\n") < 0)
        return Fail("cannot prepare the program folder");
    ini.close();
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return Fail("no free TCP port");
    const quint16 port = probe.serverPort();
    probe.close();
    qputenv("LINDQVAR_SETUP_DEMO_OPTIONS",
            QStringLiteral("--forever --port %1").arg(port).toUtf8());

    QProcess device;
    device.start(tools + QStringLiteral("/lindqvar-device"),
                 {QStringLiteral("--ports-conf"), Paths::PortMapFile(), QStringLiteral("--com"),
                  QStringLiteral("COM4")});
    if (!device.waitForStarted() || !device.waitForReadyRead(10000) ||
        !device.readLine().startsWith("PTY "))
        return Fail("the device stand-in did not start");

    bool saved = false;
    {
        TLindqvarWindows windows;
        TMainLindqvarForm &w = *windows.MainLindqvarForm;
        // The port and the cable type chosen as the user would, in the window's boxes.
        auto *ports = w.findChild<QComboBox *>(QStringLiteral("PortsListComboBox"));
        auto *types = w.findChild<QComboBox *>(QStringLiteral("ConnectTypeComboBox"));
        if (ports == nullptr || types == nullptr)
            return Fail("the window's boxes were not found");
        SelectComboItem(ports, QStringLiteral("COM4"));
        types->setCurrentIndex(1);
        w.ConnectTypeComboBoxChange();
        windows.TCPServerSettingsForm->PortEdit->setText(QString::number(port));
        w.show();
        windows.LOGForm->show();

        // Once the setup program has made some exchanges through the running link, both windows
        // are taken as they are, and the link is ended as the user would.
        QElapsedTimer clock;
        clock.start();
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const TLogModel &log = windows.LOGForm->Log->Lines();
            int relayed = 0;
            for (int i = 0; i < log.Count(); ++i)
                relayed += log.Line(i).contains(QStringLiteral(": COM->TCP ")) ? 1 : 0;
            if (w.Session().CommandState() == TCommandState::Connected && relayed >= 8) {
                saved = w.grab().save(outDir + QStringLiteral("/main-window.png")) &&
                        windows.LOGForm->grab().save(outDir + QStringLiteral("/log-window.png"));
            } else if (clock.elapsed() < 60000) {
                return;
            }
            watch.stop();
            if (w.Session().CommandState() == TCommandState::Connected)
                w.URLLabel1Click();
        });
        watch.start(100);
        w.URLLabel1Click(); // the whole link runs in here
        watch.stop();
        w.close();
    }
    device.terminate();
    device.waitForFinished();
    if (!saved)
        return Fail(qPrintable(QStringLiteral("cannot take or write the images into ") + outDir));
    return 0;
}
