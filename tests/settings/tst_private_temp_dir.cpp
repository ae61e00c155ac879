// The private temporary directory that setup programs are copied into and started from: another
// user must never be able to plant or swap a program there.
#include "settings/Paths.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TstPrivateTempDir : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void createdPrivate();
    void refusesWhatOthersCanReach();
    void fallsBackToTmpdir();

private:
    QTemporaryDir *m_base = nullptr;
    QString m_expected;
};

namespace
{

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

void TstPrivateTempDir::init()
{
    m_base = new QTemporaryDir;
    QVERIFY(m_base->isValid());
    qputenv("XDG_RUNTIME_DIR", native(m_base->path()));
    m_expected = m_base->path() + QStringLiteral("/lindqvar/");
}

void TstPrivateTempDir::cleanup()
{
    // Give a directory handed to another owner back, so that it can be removed.
    if (::lchown(native(m_expected.chopped(1)).constData(), ::geteuid(), ::getegid()) == 0)
        ::chmod(native(m_expected.chopped(1)).constData(), 0700);
    delete m_base;
    m_base = nullptr;
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("TMPDIR");
}

void TstPrivateTempDir::createdPrivate()
{
    const mode_t old = ::umask(0);
    const QString dir = Paths::PrivateTempDir();
    ::umask(old);
    QCOMPARE(dir, m_expected);
    struct stat st {
    };
    QCOMPARE(::lstat(native(dir).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    // An existing directory of ours alone is used again.
    QCOMPARE(Paths::PrivateTempDir(), m_expected);
}

void TstPrivateTempDir::refusesWhatOthersCanReach()
{
    const QByteArray path = native(m_expected.chopped(1));
    QCOMPARE(::mkdir(path.constData(), 0700), 0);
    for (const mode_t mode : {0755, 0710, 0701, 0707}) {
        QCOMPARE(::chmod(path.constData(), mode), 0);
        QVERIFY2(Paths::PrivateTempDir().isEmpty(), qPrintable(QString::number(mode, 8)));
    }
    QCOMPARE(::chmod(path.constData(), 0700), 0);
    QCOMPARE(Paths::PrivateTempDir(), m_expected);

    // A link in its place is refused, even to a private directory of ours.
    QCOMPARE(::rmdir(path.constData()), 0);
    const QString real = m_base->filePath("real");
    QCOMPARE(::mkdir(native(real).constData(), 0700), 0);
    QCOMPARE(::symlink(native(real).constData(), path.constData()), 0);
    QVERIFY(Paths::PrivateTempDir().isEmpty());
    QCOMPARE(::unlink(path.constData()), 0);
    // So is a file of that name.
    QFile file(m_expected.chopped(1));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(Paths::PrivateTempDir().isEmpty());
    QVERIFY(file.remove());

    // A directory with the right mode that belongs to another user.
    QCOMPARE(::mkdir(path.constData(), 0700), 0);
    const uid_t stranger = ::geteuid() == 65534 ? 65533 : 65534;
    if (::lchown(path.constData(), stranger, stranger) != 0)
        QSKIP("Changing a directory's owner needs root; the foreign-owner case is not run.");
    QVERIFY(Paths::PrivateTempDir().isEmpty());
}

void TstPrivateTempDir::fallsBackToTmpdir()
{
    // Without a runtime directory (or with a relative one, which is invalid) TMPDIR holds it.
    qputenv("XDG_RUNTIME_DIR", "relative/dir");
    qputenv("TMPDIR", native(m_base->path()));
    m_expected = m_base->path() + QStringLiteral("/lindqvar-%1/").arg(::geteuid());
    QCOMPARE(Paths::PrivateTempDir(), m_expected);
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(Paths::PrivateTempDir(), m_expected);
}

QTEST_GUILESS_MAIN(TstPrivateTempDir)
#include "tst_private_temp_dir.moc"
