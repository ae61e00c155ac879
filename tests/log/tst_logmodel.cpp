// The log's compact store: every line comes back exactly as the writers formatted it before
// (window and dialer forms, every prefix, Cyrillic and characters beyond the code page), the
// saved text is those lines, views learn of lines in batches, and the hex view changes only how
// data lines are shown.
#include "log/LOGUnit.h"
#include "log/LogFormat.h"
#include "log/LogModel.h"
#include "log/TimeFuncs.h"
#include "log/Win1251.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QMenu>
#include <QTest>

#include <ctime>

namespace
{

// 2026-12-09 10:20:30.045 UTC.
constexpr qint64 Moment = 1796811630045;

// The line as the writers made it before the store existed.
QString Expected(const TLogEntry &entry)
{
    const QString stamp = TimeStampString(QDateTime::fromMSecsSinceEpoch(entry.Time));
    return entry.Writer == TLogEntry::TWriter::Window
               ? FormatWindowLogLine(stamp, entry.Prefix, entry.Text)
               : FormatThreadLogLine(stamp, entry.Prefix, entry.Text);
}

QList<TLogEntry> Entries()
{
    using W = TLogEntry::TWriter;
    QByteArray relayed;
    for (int i = 1; i < 256; ++i)
        if (i != '\r' && i != '\n')
            relayed.append(char(i));
    return {
        {W::Window, Moment, "", "Установили \"Нет подключения\", главный цикл"},
        {W::Window, Moment + 1, "TCP->COM", Win1251ToString(relayed)},
        {W::Window, Moment + 999, "COM->TCP", ""},
        {W::Window, Moment + 1000, "APP->COM", "+VER_INFO=?"},
        {W::Window, Moment + 60000, "COM->APP", "+VER_INFO: \"1\",\"DEMO.1.00\""},
        {W::Thread, Moment + 3600000, ">>", "OK"},
        {W::Thread, Moment - 86400000, "<<", "ATD8 900 555"},
        {W::Thread, Moment, "", "Порт успешно открыт"},
        // Beyond the code page, and a prefix of no writer of ours.
        {W::Window, Moment, "", "Путь: /tmp/файл → ★ \U0001F600"},
        {W::Window, Moment, "X", "other prefix"},
    };
}

} // namespace

class TstLogModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "XST-2");
        tzset();
    }

    void linesComeBackAsFormattedBefore();
    void viewsLearnOfLinesInBatches();
    void hexViewShowsDataBytes();
    void windowMenuAndCopy();
};

void TstLogModel::linesComeBackAsFormattedBefore()
{
    TLogModel model;
    QByteArray saved;
    for (const TLogEntry &entry : Entries()) {
        model.Append(entry);
        saved += Expected(entry).toUtf8() + "\r\n";
    }
    model.AppendText("a line as it is, \xD0\xB4\xD0\xB0");
    saved += "a line as it is, \xD0\xB4\xD0\xB0\r\n";
    QCOMPARE(model.Count(), Entries().size() + 1);
    for (int row = 0; row < Entries().size(); ++row)
        QCOMPARE(model.Line(row), Expected(Entries()[row]));
    QCOMPARE(model.Line(0), QStringLiteral("2026.12.09 12:20:30.045:  Установили \"Нет "
                                           "подключения\", главный цикл"));

    QByteArray written;
    QVERIFY(model.WriteText([&](const QByteArray &piece) {
        written += piece;
        return true;
    }));
    QCOMPARE(written, saved);

    model.RemoveLine(1);
    QCOMPARE(model.Line(1), Expected(Entries()[2]));
    model.Clear();
    QCOMPARE(model.Count(), 0);
    QVERIFY(model.WriteText([](const QByteArray &) { return false; }));
}

void TstLogModel::viewsLearnOfLinesInBatches()
{
    TLogModel model;
    int inserted = 0;
    connect(&model, &QAbstractItemModel::rowsInserted,
            [&](const QModelIndex &, int first, int last) { inserted += last - first + 1; });
    for (int i = 0; i < 1000; ++i)
        model.Append({TLogEntry::TWriter::Window, Moment, "COM->TCP", QString::number(i)});
    QCOMPARE(model.Count(), 1000);
    QCOMPARE(model.rowCount(), 0);
    QTRY_COMPARE(model.rowCount(), 1000);
    QCOMPARE(inserted, 1000);
    model.Append({TLogEntry::TWriter::Thread, Moment, ">>", "OK"});
    model.Publish();
    QCOMPARE(model.rowCount(), 1001);
    QCOMPARE(model.data(model.index(1000), Qt::DisplayRole).toString(),
             Expected({TLogEntry::TWriter::Thread, Moment, ">>", "OK"}));
}

void TstLogModel::hexViewShowsDataBytes()
{
    TLogModel model;
    model.Append(
        {TLogEntry::TWriter::Window, Moment, "COM->TCP", Win1251ToString("Hi\xff\x00\xff", 5)});
    model.Append({TLogEntry::TWriter::Window, Moment, "", "Порт успешно переоткрыт"});
    model.Append({TLogEntry::TWriter::Thread, Moment, ">>", "OK"});
    model.Publish();
    const QString plain = model.Line(0);

    QVERIFY(!model.HexView());
    QCOMPARE(model.ShownLine(0), plain);
    model.SetHexView(true);
    QCOMPARE(model.ShownLine(0),
             QStringLiteral("2026.12.09 12:20:30.045: COM->TCP 48 69 FF 00 FF  ") +
                 Win1251ToString("Hi\xff\x00\xff", 5));
    QCOMPARE(model.data(model.index(0), Qt::DisplayRole).toString(), model.ShownLine(0));
    // Other lines, and what is saved, stay as they are.
    QCOMPARE(model.ShownLine(1), model.Line(1));
    QCOMPARE(model.ShownLine(2), model.Line(2));
    QCOMPARE(model.Line(0), plain);
}

void TstLogModel::windowMenuAndCopy()
{
    TLOGForm form;
    form.show();
    const QList<QAction *> actions = form.PopupMenu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[2]->text(), QStringLiteral("Шестнадцатеричный вид"));
    QVERIFY(actions[2]->isCheckable() && !actions[2]->isChecked());

    WriteLogTo(form, Win1251ToString("AB\x01", 3), "TCP->COM");
    form.Log->setCurrentRow(0);
    actions[2]->trigger();
    QTest::keyClick(form.Log, Qt::Key_C, Qt::ControlModifier);
    QVERIFY2(QApplication::clipboard()->text().endsWith(": TCP->COM 41 42 01  AB\x01"),
             qPrintable(QApplication::clipboard()->text()));
    actions[2]->trigger();
    QTest::keyClick(form.Log, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), form.Log->Lines().Line(0));
}

QTEST_MAIN(TstLogModel)
#include "tst_logmodel.moc"
