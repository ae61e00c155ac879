// The .deb that `make package` builds, unpacked into a temporary root (dpkg-deb -x) as dpkg
// would install it: the program in a folder of its own with its setup.ini, the command on PATH,
// the menu entry, its icon and the AppStream metadata, no stand-ins; and the program starts from
// there.

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
#include <QUrl>
#include <QXmlStreamReader>

#include <utility>

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

const QString MetainfoDir = QStringLiteral("/usr/share/metainfo/");
const QString MetainfoSuffix = QStringLiteral(".metainfo.xml");

} // namespace

class TstPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void laidOutAsTheProgramRuns();
    void installedDescriptionsValidate_data();
    void installedDescriptionsValidate();
    void metainfoDescribesThisPackage();
    void programStartsFromTheUnpackedRoot();

private:
    // The AppStream file's path in the package, named after the program's id.
    QString Metainfo() const;

    QString FDeb;
    QTemporaryDir FRoot;
};

QString TstPackage::Metainfo() const
{
    const QStringList files =
        QDir(FRoot.path() + MetainfoDir).entryList({QLatin1Char('*') + MetainfoSuffix});
    return files.size() == 1 ? MetainfoDir + files.first() : QString();
}

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
    QVERIFY2(!Metainfo().isEmpty(), "no single AppStream file in /usr/share/metainfo");
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

void TstPackage::installedDescriptionsValidate_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("validator");
    // desktop-file-validate exits 0 on hints, which the menu entry must not have either;
    // appstreamcli fails on warnings itself and says that it succeeded.
    QTest::addColumn<bool>("silentWhenValid");
    QTest::newRow("menu entry") << QStringLiteral("/usr/share/applications/lindqvar.desktop")
                                << QStringList{QStringLiteral("desktop-file-validate")} << true;
    // --no-net: the screenshots' addresses are not fetched.
    QTest::newRow("AppStream metadata")
        << Metainfo()
        << QStringList{QStringLiteral("appstreamcli"), QStringLiteral("validate"),
                       QStringLiteral("--no-net")}
        << false;
}

void TstPackage::installedDescriptionsValidate()
{
    QFETCH(QString, file);
    QFETCH(QStringList, validator);
    QFETCH(bool, silentWhenValid);
    QVERIFY(!file.isEmpty());
    const QString program = QStandardPaths::findExecutable(validator.first());
    if (program.isEmpty())
        QSKIP(qPrintable(validator.first() +
                         QStringLiteral(" is not installed (scripts/install-deps installs it)")));
    int status = -1;
    const QString output = Run(program, validator.mid(1) << FRoot.path() + file, &status);
    QVERIFY2(status == 0 && (!silentWhenValid || output.trimmed().isEmpty()), qPrintable(output));
}

// What the validator cannot know: that the metadata names this package's files and version.
void TstPackage::metainfoDescribesThisPackage()
{
    const QString path = Metainfo();
    QFile file(FRoot.path() + path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QString id;
    QString launchable;
    QString newestRelease;
    QStringList screenshots;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = xml.name();
        if (name == u"id" && id.isEmpty())
            id = xml.readElementText();
        else if (name == u"launchable")
            launchable = xml.readElementText();
        else if (name == u"release" && newestRelease.isEmpty())
            newestRelease = xml.attributes().value(QLatin1String("version")).toString();
        else if (name == u"image")
            screenshots << QUrl(xml.readElementText()).fileName();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    // The file is found by its program's id.
    QCOMPARE(MetainfoDir + id + MetainfoSuffix, path);
    QVERIFY2(
        QFileInfo(FRoot.path() + QStringLiteral("/usr/share/applications/") + launchable).isFile(),
        qPrintable(launchable));
    // The newest release listed comes first and is the packaged one.
    const QString version =
        Run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), FDeb, QStringLiteral("Version")})
            .trimmed();
    QCOMPARE(newestRelease, version);
    // The screenshots are the pictures the project keeps in docs/.
    QVERIFY(!screenshots.isEmpty());
    for (const QString &picture : std::as_const(screenshots))
        QVERIFY2(QFileInfo(QStringLiteral(LINDQVAR_DOCS_DIR "/") + picture).isFile(),
                 qPrintable(picture));
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
