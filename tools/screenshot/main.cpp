// lindqvar-screenshot: renders the main window and the log window as a user sees them during a
// cable link, into two PNG files, without a display (run with QT_QPA_PLATFORM=offscreen).

#include "app/ExceptionHandler.h"
#include "app/MainFormUnit.h"
#include "app/Windows.h"
#include "log/LOGUnit.h"
#include "serial/PortMap.h"

#include <QComboBox>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <pty.h>

int main(int argc, char *argv[])
{
    TLindqvarApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");

    // A private world: its own settings and a port map with two serial ports.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path()));
    PortMap::SetDiscoveryRoots(home.path(), home.path());
    QDir().mkpath(home.path() + QStringLiteral("/config/Varo/Lindqvar"));
    int master[2], slave[2];
    char names[2][64];
    for (int i = 0; i < 2; ++i) {
        if (::openpty(&master[i], &slave[i], names[i], nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
    }
    QFile map(home.path() + QStringLiteral("/config/Varo/Lindqvar/ports.conf"));
    if (!map.open(QIODevice::WriteOnly))
        return 1;
    map.write(QStringLiteral("COM3=%1\nCOM4=%2\n")
                  .arg(QLatin1String(names[0]), QLatin1String(names[1]))
                  .toUtf8());
    map.close();

    TLindqvarWindows windows;
    TMainLindqvarForm &w = *windows.MainLindqvarForm;
    w.ConnectTypeComboBox->setCurrentIndex(1);
    w.ConnectTypeComboBoxChange();
    w.SetCommand(TCommandState::Connected);
    w.SetStatus(QStringLiteral("Подключен"), false);
    w.show();
    windows.LOGForm->show();
    w.WriteLog(QStringLiteral("COM порт успешно открыт"));
    w.WriteLog(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));
    w.WriteLog(QStringLiteral("+VER_INFO: \"1234\",\"DEMO.1.00\",\"SN0001\"\r\nOK\r\n"),
               QStringLiteral("COM->APP"));
    w.WriteLog(QStringLiteral("\x02"
                              "0103000200019B2E\x03"),
               QStringLiteral("TCP->COM"));
    w.WriteLog(QStringLiteral("\x02"
                              "0181000600014445"),
               QStringLiteral("COM->TCP"));
    QCoreApplication::processEvents();

    const bool ok = w.grab().save(outDir + QStringLiteral("/main-window.png")) &&
                    windows.LOGForm->grab().save(outDir + QStringLiteral("/log-window.png"));
    w.SetCommand(TCommandState::Idle);
    if (!ok)
        std::fprintf(stderr, "lindqvar-screenshot: cannot write the images to %s\n",
                     qPrintable(outDir));
    return ok ? 0 : 1;
}
