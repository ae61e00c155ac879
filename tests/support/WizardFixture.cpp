#include "support/WizardFixture.h"

#include "app/MainFormUnit.h"
#include "controls/ComboItems.h"
#include "log/LOGUnit.h"
#include "settings/Paths.h"
#include "settings/TPCServerSettingsUnit.h"
#include "support/MainFormControls.h"
#include "support/ToolHarness.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QTest>

TWizardFixture::TWizardFixture()
{
    Paths::SetProgramDirForTesting(FProgramDir.path());
}

TWizardFixture::~TWizardFixture()
{
    Windows.reset();
    Paths::SetProgramDirForTesting(QString());
}

bool TWizardFixture::Start()
{
    Windows = std::make_unique<TLindqvarWindows>();
    Windows->MainLindqvarForm->show();
    return QTest::qWaitForWindowExposed(Windows->MainLindqvarForm.get());
}

bool TWizardFixture::StartOnPort(const QString &com, TConnectionType type, bool showLog)
{
    if (!Start())
        return false;
    if (showLog)
        ShowLog();
    return ChooseLink(com, type);
}

bool TWizardFixture::ChooseLink(const QString &com, TConnectionType type)
{
    TMainLindqvarForm &w = Main();
    SelectComboItem(Ui(w).PortsListComboBox, com);
    Ui(w).ConnectTypeComboBox->setCurrentIndex(ConnectionTypeIndex(type));
    w.ConnectTypeComboBoxChange();
    ServerPort = UseFreeServerPort();
    return Ui(w).PortsListComboBox->currentText() == com && ServerPort != 0;
}

void TWizardFixture::Stop()
{
    if (Windows)
        Windows->MainLindqvarForm->close();
    Windows.reset();
}

TMainLindqvarForm &TWizardFixture::Main() const
{
    return *Windows->MainLindqvarForm;
}

bool TWizardFixture::WriteSettings(const QByteArray &ini) const
{
    QFile file(Paths::SettingsFile());
    return QDir().mkpath(Paths::ConfigDir()) &&
           file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(ini) == ini.size();
}

QByteArray TWizardFixture::ReadSettings() const
{
    QFile file(Paths::SettingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool TWizardFixture::InstallSetupDemo(const QString &demoOptions, const QString &name,
                                      const QString &tool)
{
    const QString target = ProgramDir() + name;
    QFile::remove(target);
    const QString options =
        demoOptions.contains(QStringLiteral("%1")) ? demoOptions.arg(ServerPort) : demoOptions;
    qputenv("LINDQVAR_SETUP_DEMO_OPTIONS", options.toUtf8());
    return QFile::copy(toolPath(tool), target) &&
           WriteSetupIni(QStringLiteral("[programs]\nDEMO=%1\n").arg(name).toUtf8());
}

bool TWizardFixture::WriteSetupIni(const QByteArray &text) const
{
    QFile file(ProgramDir() + QStringLiteral("setup.ini"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

quint16 FreeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

quint16 TWizardFixture::UseFreeServerPort()
{
    const quint16 port = FreeTcpPort();
    Windows->TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    return port;
}

void TWizardFixture::ShowLog()
{
    Windows->LOGForm->show();
}

QStringList TWizardFixture::LogLines() const
{
    QStringList lines;
    const TLogModel &log = Windows->LOGForm->Log->Lines();
    for (int i = 0; i < log.Count(); ++i)
        lines << log.Line(i);
    return lines;
}

bool TWizardFixture::LogHas(const QString &ending) const
{
    const QStringList lines = LogLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString &line) { return line.endsWith(ending); });
}
