#include "log/LOGUnit.h"
#include "support/LogLines.h"
#include "support/RecordingDialogs.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

namespace
{

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

bool WriteAll(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class TstLogForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<TRecordingDialogs> dialogs;
    TLOGForm *form = nullptr;

private slots:
    void init()
    {
        dialogs = std::make_unique<TRecordingDialogs>();
        form = new TLOGForm;
    }

    void cleanup()
    {
        delete form;
        form = nullptr;
        dialogs.reset();
    }

    void contextMenuOffersTheCommands()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        emit form->Log->customContextMenuRequested(QPoint(5, 5));
        QTRY_VERIFY(form->PopupMenu->isVisible());
        form->PopupMenu->close();
    }

    void hiddenWindowRecordsNothing()
    {
        WriteLogTo(*form, "COM порт успешно открыт", "");
        QCOMPARE(form->Log->Lines().Count(), 0);
        form->show();
        WriteLogTo(*form, "COM порт успешно открыт", "");
        QCOMPARE(form->Log->Lines().Count(), 1);
        // Closing only hides the window; the lines stay and later writes are dropped.
        form->close();
        QVERIFY(!form->isVisible());
        WriteLogTo(*form, "Ошибка чтения из COM порта", "");
        QCOMPARE(form->Log->Lines().Count(), 1);
        QVERIFY(IsLogLine(form->Log->Lines().Line(0), ":  COM порт успешно открыт"));
    }

    void messagesBecomeLines()
    {
        form->show();
        WriteLogTo(*form, "+VER_INFO=?", "APP->COM");
        WriteLogTo(*form, "\r\nOK\r\n", "COM->TCP");
        WriteLogTo(*form, "a\nb\n", "TCP->COM");
        WriteLogTo(*form, "x\r\rz", "");
        const QStringList tails = {": APP->COM +VER_INFO=?",
                                   ": COM->TCP ",
                                   ": COM->TCP OK",
                                   ": TCP->COM a\nb\n",
                                   ":  x",
                                   ":  ",
                                   ":  z"};
        QCOMPARE(form->Log->Lines().Count(), tails.size());
        for (int i = 0; i < tails.size(); ++i)
            QVERIFY2(IsLogLine(form->Log->Lines().Line(i), tails[i]),
                     qPrintable(form->Log->Lines().Line(i)));
    }

    void autoscrollFollowsTheCheckBox()
    {
        form->resize(300, 120);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        QScrollBar *bar = form->Log->verticalScrollBar();
        for (int i = 0; i < 100; ++i)
            WriteLogTo(*form, QString("line %1").arg(i), "");
        form->Log->setCurrentRow(0);
        QTRY_VERIFY(bar->maximum() > 0);
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), 0);

        // Checking the box alone moves nothing; the next write scrolls to the end once.
        form->AutiscrollCheckBox->click();
        QVERIFY(form->AutiscrollCheckBox->isChecked());
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), 0);
        WriteLogTo(*form, "a\r\nb", "COM->TCP");
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        // Scrolling does not touch the user's selection.
        QCOMPARE(form->Log->currentRow(), 0);

        form->AutiscrollCheckBox->click();
        bar->setValue(0);
        WriteLogTo(*form, "more", "");
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), 0);
    }

    void clearRemovesEveryLine()
    {
        form->show();
        WriteLogTo(*form, "a\rb\rc", "");
        QCOMPARE(form->Log->Lines().Count(), 3);
        form->N1->trigger();
        QCOMPARE(form->Log->Lines().Count(), 0);
    }

    void saveWritesLinesWithCrLf()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        AppendLines(form->Log->Lines(),
                    {"2024.03.05 09:07:02.045:  COM порт успешно открыт", "", "tab\there ✓"});
        const QByteArray expected = QByteArray("2024.03.05 09:07:02.045:  COM порт успешно открыт"
                                               "\r\n\r\ntab\there ✓\r\n");

        // A name without an extension gets ".log".
        dialogs->NextSaveFileName = dir.filePath("session");
        form->N2->trigger();
        QCOMPARE(dialogs->AskedSaveDialog, form->SaveDialog);
        QCOMPARE(ReadAll(dir.filePath("session.log")), expected);
        QVERIFY(!QFile::exists(dir.filePath("session")));

        // An existing, longer file is replaced without a question; another extension is kept.
        QVERIFY(WriteAll(dir.filePath("old.txt"), QByteArray(4096, 'x')));
        dialogs->NextSaveFileName = dir.filePath("old.txt");
        form->N2->trigger();
        QCOMPARE(ReadAll(dir.filePath("old.txt")), expected);
        QVERIFY(!QFile::exists(dir.filePath("old.txt.log")));

        // A new file honours the user's umask; a link is written through and stays a link.
        const mode_t umaskBefore = ::umask(077);
        dialogs->NextSaveFileName = dir.filePath("private.log");
        form->N2->trigger();
        ::umask(umaskBefore);
        struct stat saved {
        };
        QVERIFY(::stat(qPrintable(dir.filePath("private.log")), &saved) == 0);
        QCOMPARE(saved.st_mode & 0777, mode_t(0600));
        QVERIFY(QFile::link(dir.filePath("old.txt"), dir.filePath("link.log")));
        AppendLines(form->Log->Lines(), {"four"});
        dialogs->NextSaveFileName = dir.filePath("link.log");
        form->N2->trigger();
        QVERIFY(QFileInfo(dir.filePath("link.log")).isSymLink());
        QCOMPARE(ReadAll(dir.filePath("old.txt")), expected + "four\r\n");
        form->Log->Lines().RemoveLine(3);

        // Cancelling writes nothing.
        const QStringList before = QDir(dir.path()).entryList(QDir::Files);
        dialogs->NextSaveFileName.clear();
        form->N2->trigger();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), before);

        QVERIFY(dialogs->Boxes.isEmpty());
        QCOMPARE(form->Log->Lines().Count(), 3);
    }

    void unwritableFileIsReported()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // A path below a regular file cannot be created, not even by root.
        QVERIFY(WriteAll(dir.filePath("afile"), "keep"));
        AppendLines(form->Log->Lines(), {"one", "two"});
        dialogs->NextSaveFileName = dir.filePath("afile/x.log");
        form->N2->trigger();

        QCOMPARE(dialogs->Boxes.size(), 1);
        const TRecordingDialogs::TBox box = dialogs->Boxes.constFirst();
        QCOMPARE(box.Caption, "Ошибка");
        QCOMPARE(box.Icon, TMsgIcon::Error);
        QVERIFY2(box.Text.contains(dir.filePath("afile/x.log")), qPrintable(box.Text));
        // The system's reason follows the file name.
        QVERIFY2(!box.Text.section('\n', 1).trimmed().isEmpty(), qPrintable(box.Text));
        QCOMPARE(form->Log->Lines().Count(), 2);
        QCOMPARE(ReadAll(dir.filePath("afile")), QByteArray("keep"));
    }
};

QTEST_MAIN(TstLogForm)
#include "tst_logform.moc"
