// The .deb that `make package` builds, unpacked into a temporary root (dpkg-deb -x) as dpkg
// would install it: the program in a folder of its own with its setup.ini, the command on PATH,
// the menu entry, its icon, the AppStream metadata and the manual page, no stand-ins; lintian finds
// nothing in it but the placement under /opt that its override documents; no build path is inside
// the program; and the program starts from there.

#include "line/LineKinds.h"
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

// "~deb12" on Debian 12: the part of a package's version that names the release it is for.
QString DebianReleaseSuffix()
{
    QFile osRelease(QStringLiteral("/etc/os-release"));
    if (!osRelease.open(QIODevice::ReadOnly))
        return {};
    QString id;
    QString version;
    for (const QByteArray &line : osRelease.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).remove(u'"');
        if (text.startsWith(QStringLiteral("ID=")))
            id = text.mid(3);
        else if (text.startsWith(QStringLiteral("VERSION_ID=")))
            version = text.mid(11).section(u'.', 0, 0);
    }
    return id == QStringLiteral("debian") && !version.isEmpty() ? QStringLiteral("~deb") + version
                                                                : QString();
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
    void lintianFindsNothingButTheOverride();
    void manualPageShowsEveryKindOfLine();
    void noBuildPathInTheProgram();
    void programStartsFromTheUnpackedRoot();

private:
    // The AppStream file's path in the package, named after the program's id.
    QString Metainfo() const;
    QString PackageVersion() const;

    QString FDeb;
    QTemporaryDir FRoot;
};

QString TstPackage::Metainfo() const
{
    const QStringList files =
        QDir(FRoot.path() + MetainfoDir).entryList({QLatin1Char('*') + MetainfoSuffix});
    return files.size() == 1 ? MetainfoDir + files.first() : QString();
}

QString TstPackage::PackageVersion() const
{
    return Run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), FDeb, QStringLiteral("Version")})
        .trimmed();
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
    // The newest release listed comes first and is the packaged one, for the Debian release it
    // was built on (1.0.0~deb12).
    QCOMPARE(newestRelease + DebianReleaseSuffix(), PackageVersion());
    // The screenshots are the pictures the project keeps in docs/.
    QVERIFY(!screenshots.isEmpty());
    for (const QString &picture : std::as_const(screenshots))
        QVERIFY2(QFileInfo(QStringLiteral(LINDQVAR_DOCS_DIR "/") + picture).isFile(),
                 qPrintable(picture));
}

// Debian's own checker, as an administrator runs it before taking the package into a repository:
// errors and warnings fail, and the only tag the package may override is the placement of the
// program under /opt, which is intended.
void TstPackage::lintianFindsNothingButTheOverride()
{
    const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
    QVERIFY2(!lintian.isEmpty(), "lintian is not installed (scripts/install-deps installs it)");
    // The findings are read from what it says: with --show-overrides, lintian's own exit status
    // counts the overridden tag as well, so it is asked to fail only when it could not check.
    QProcess process;
    process.start(lintian,
                  {QStringLiteral("--fail-on"), QStringLiteral("none"),
                   QStringLiteral("--show-overrides"), QStringLiteral("--display-info"), FDeb});
    QVERIFY2(process.waitForFinished(240000), "lintian did not finish");
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    const QString said = output + QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             qPrintable(said));
    // Errors ("E:") and warnings ("W:") are findings; an overridden tag ("O:") must be the
    // intended one, and it is there as long as the program is under /opt. Information ("I:") and
    // the override's comment ("N:") are shown only, but for hardening that the program lacks
    // (the sanitized build is not hardened: it has checks of its own).
    QStringList unexpected;
    int intended = 0;
    for (const QString &line : output.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(QStringLiteral("O: lindqvar: dir-or-file-in-opt ")))
            ++intended;
        else if (line.startsWith(QStringLiteral("E: ")) || line.startsWith(QStringLiteral("W: ")) ||
                 line.startsWith(QStringLiteral("O: ")))
            unexpected << line;
#ifndef LINDQVAR_SANITIZED
        else if (line.startsWith(QStringLiteral("I: lindqvar: hardening-")))
            unexpected << line;
#endif
    }
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(u'\n')));
    QVERIFY2(intended > 0, qPrintable(said));
}

// man shows the installed page without a warning from groff, and the page has an example of every
// kind of line the port map takes: a new kind must be documented where administrators look.
void TstPackage::manualPageShowsEveryKindOfLine()
{
    const QString page = FRoot.path() + QStringLiteral("/usr/share/man/man1/lindqvar.1.gz");
    QVERIFY2(QFileInfo(page).isFile(), qPrintable(page));
    QProcess man;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("200"));
    man.setProcessEnvironment(env);
    // As lintian reads it: UTF-8, every groff warning on.
    man.start(QStringLiteral("man"),
              {QStringLiteral("--warnings"), QStringLiteral("-E"), QStringLiteral("UTF-8"),
               QStringLiteral("-l"), QStringLiteral("-Tutf8"), page});
    QVERIFY2(man.waitForFinished(60000), "man did not finish");
    const QString text = QString::fromUtf8(man.readAllStandardOutput());
    const QString warnings = QString::fromUtf8(man.readAllStandardError());
    QVERIFY2(man.exitStatus() == QProcess::NormalExit && man.exitCode() == 0, qPrintable(warnings));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings));
    // Without the overstrikes of bold and underlined text.
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i + 1 < text.size() && text.at(i + 1) == u'\b')
            ++i;
        else
            plain += text.at(i);
    }
    for (const TLineKind &kind : LineKinds::All()) {
        const QString example =
            *kind.Scheme == '\0'
                ? QStringLiteral("=/dev/")
                : QLatin1Char('=') + QLatin1String(kind.Scheme) + QStringLiteral("://");
        QVERIFY2(plain.contains(example), qPrintable(example));
    }
    // Its header names the packaged version.
    const QString version = PackageVersion().section(u'~', 0, 0);
    QVERIFY2(plain.contains(QStringLiteral("Lindqvar ") + version), qPrintable(version));
}

// Two builds of one commit in different folders give the same package only when the folder is
// nowhere inside the program (debug information and __FILE__ also decide its build id).
void TstPackage::noBuildPathInTheProgram()
{
#ifdef LINDQVAR_SANITIZED
    QSKIP("the sanitizers' checks carry their source file's path as given, which GCC does not map");
#endif
    QFile program(FRoot.path() + QStringLiteral("/opt/lindqvar/lindqvar"));
    QVERIFY(program.open(QIODevice::ReadOnly));
    const QByteArray bytes = program.readAll();
    for (const char *folder : {LINDQVAR_BUILD_DIR, LINDQVAR_SOURCE_DIR})
        QVERIFY2(!bytes.contains(folder), folder);
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
