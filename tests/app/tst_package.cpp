// The .deb that `make package` builds, unpacked into a temporary root (dpkg-deb -x) as dpkg
// would install it: the program in a folder of its own with its setup.ini, the command on PATH,
// the menu entry and its icon, no stand-ins; and the program starts from there.

#include "settings/Paths.h"
#include "support/Pty.h"
#include "support/TempConfig.h"
#include "support/WindowProbes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QString Run(const QString &program, const QStringList &args, int *status = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.waitForFinished(60000);
    if (status)
        *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

} // namespace

class TstPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void laidOutAsTheProgramRuns();
    void menuEntryValidates();
    void programStartsFromTheUnpackedRoot();

private:
    QString FDeb;
    QTemporaryDir FRoot;
};

void TstPackage::initTestCase()
{
    const QStringList debs =
        QDir(QStringLiteral(LINDQVAR_PACKAGE_DIR)).entryList({QStringLiteral("lindqvar_*.deb")});
    QVERIFY2(debs.size() == 1, qPrintable(debs.join(u' ')));
    FDeb = QStringLiteral(LINDQVAR_PACKAGE_DIR "/") + debs.first();
    QVERIFY(FRoot.isValid());
    int status = -1;
    const QString output =
        Run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), FDeb, FRoot.path()}, &status);
    QVERIFY2(status == 0, qPrintable(output));
}

void TstPackage::laidOutAsTheProgramRuns()
{
    const QString root = FRoot.path();
    const QFileInfo program(root + QStringLiteral("/opt/lindqvar/lindqvar"));
    QVERIFY(program.isFile() && program.isExecutable());
    // setup.ini is read beside the executable only.
    QVERIFY(QFileInfo(root + QStringLiteral("/opt/lindqvar/setup.ini")).isFile());
    QCOMPARE(QFileInfo(root + QStringLiteral("/usr/bin/lindqvar")).symLinkTarget(),
             QStringLiteral("/opt/lindqvar/lindqvar"));
    QVERIFY(QFileInfo(root + QStringLiteral("/usr/share/applications/lindqvar.desktop")).isFile());
    QVERIFY(QFileInfo(root + QStringLiteral("/usr/share/icons/hicolor/scalable/apps/lindqvar.svg"))
                .isFile());
    // The stand-ins stay out of the package.
    QDirIterator files(root, QDir::Files | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString name = QFileInfo(files.next()).fileName();
        QVERIFY2(!name.startsWith(QStringLiteral("lindqvar-")), qPrintable(name));
    }

    int status = -1;
    const QString depends = Run(QStringLiteral("dpkg-deb"),
                                {QStringLiteral("-f"), FDeb, QStringLiteral("Depends")}, &status);
    QCOMPARE(status, 0);
    for (const char *package : {"libc6", "libstdc++6", "libqt6widgets6", "qt6-qpa-plugins"})
        QVERIFY2(depends.contains(QLatin1String(package)), qPrintable(depends));
    const QString recommends =
        Run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), FDeb, QStringLiteral("Recommends")});
    QVERIFY2(recommends.contains(QStringLiteral("wine")), qPrintable(recommends));
}

void TstPackage::menuEntryValidates()
{
    const QString validate =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validate.isEmpty())
        QSKIP("desktop-file-validate is not installed (scripts/install-deps installs it)");
    int status = -1;
    const QString output =
        Run(validate, {FRoot.path() + QStringLiteral("/usr/share/applications/lindqvar.desktop")},
            &status);
    QVERIFY2(status == 0 && output.trimmed().isEmpty(), qPrintable(output));
}

void TstPackage::programStartsFromTheUnpackedRoot()
{
    // A private account with one serial port, so that the window opens without a message box.
    TTempConfig config;
    TPty port;
    QVERIFY(config.IsValid() && port.IsValid());
    QVERIFY(config.WritePortMap({QStringLiteral("COM3=") + port.SlavePath()}));
    const QString program = FRoot.path() + QStringLiteral("/opt/lindqvar/lindqvar");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, {});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(InstanceLockIsHeld(), 30000);
    QCOMPARE(process.state(), QProcess::Running);
    // It runs from the unpacked folder, where its setup.ini is.
    const QString exe =
        QFileInfo(QStringLiteral("/proc/%1/exe").arg(process.processId())).symLinkTarget();
    QCOMPARE(exe, QFileInfo(program).canonicalFilePath());
    QVERIFY(QFileInfo(QFileInfo(exe).path() + QStringLiteral("/setup.ini")).isFile());
    process.terminate();
    QVERIFY(process.waitForFinished(30000));
}

QTEST_GUILESS_MAIN(TstPackage)
#include "tst_package.moc"
