#include "log/LogFormat.h"
#include "log/TimeFuncs.h"
#include "log/Win1251.h"

#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>

#include <ctime>

class TstLogFormat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A fixed zone two hours east of UTC without daylight saving, so the local-time
        // conversion gives a known answer on every machine.
        qputenv("TZ", "XST-2");
        tzset();
    }

    void split_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("pieces");

        QTest::newRow("plain") << "COM порт успешно открыт"
                               << QStringList{"COM порт успешно открыт"};
        QTest::newRow("empty") << "" << QStringList{""};
        QTest::newRow("LF only is one piece") << "a\nb\n" << QStringList{"a\nb\n"};
        QTest::newRow("CR LF OK CR LF") << "\r\nOK\r\n" << QStringList{"", "OK"};
        QTest::newRow("trailing break adds nothing") << "OK\r\n" << QStringList{"OK"};
        QTest::newRow("lone CR at the end") << "OK\r" << QStringList{"OK"};
        QTest::newRow("only a break") << "\r\n" << QStringList{""};
        QTest::newRow("two breaks in a row") << "a\r\n\r\nb" << QStringList{"a", "", "b"};
        QTest::newRow("CR then LF then CR LF") << "a\r\n\rb\nc\r\n"
                                               << QStringList{"a", "", "b", "c"};
        QTest::newRow("LF CR is two breaks") << "a\n\rb" << QStringList{"a", "", "b"};
        QTest::newRow("LF next to a CR elsewhere") << "x\ny\rz" << QStringList{"x", "y", "z"};
        QTest::newRow("two trailing breaks") << "a\r\r" << QStringList{"a", ""};
        QTest::newRow("other controls stay")
            << QString("\x01\tA\rB\x1b") << QStringList{"\x01\tA", "B\x1b"};
    }

    void split()
    {
        QFETCH(QString, message);
        QFETCH(QStringList, pieces);
        QCOMPARE(SplitLogMessage(message), pieces);
        // Relayed bytes split alike: the pieces of the message's Windows-1251 bytes are those of
        // the text.
        const QByteArray bytes = StringToWin1251(message);
        QStringList bytePieces;
        ForEachLogPiece(QByteArrayView(bytes), [&bytePieces](QByteArrayView piece) {
            bytePieces << Win1251ToString(piece.data(), piece.size());
        });
        QCOMPARE(bytePieces, pieces);
    }

    void lineFormats()
    {
        const QString stamp = "2024.03.05 09:07:02.045";
        // The window's writer puts a blank after the colon, so an empty prefix gives two.
        QCOMPARE(FormatWindowLogLine(stamp, "", "COM порт успешно открыт"),
                 "2024.03.05 09:07:02.045:  COM порт успешно открыт");
        QCOMPARE(FormatWindowLogLine(stamp, "APP->COM", "+VER_INFO=?"),
                 "2024.03.05 09:07:02.045: APP->COM +VER_INFO=?");
        QCOMPARE(FormatWindowLogLine(stamp, "COM->TCP", ""), "2024.03.05 09:07:02.045: COM->TCP ");
        // The dialer's writer has no blank after the colon.
        QCOMPARE(FormatThreadLogLine(stamp, "", "Инициализация модема"),
                 "2024.03.05 09:07:02.045: Инициализация модема");
        QCOMPARE(FormatThreadLogLine(stamp, "<<", "ATZ"), "2024.03.05 09:07:02.045:<< ATZ");
        // Text with % or %1 in it is taken as it is, not as a format.
        QCOMPARE(FormatWindowLogLine(stamp, "%1", "50% %2"), "2024.03.05 09:07:02.045: %1 50% %2");
    }

    void timestamp()
    {
        const QDate day(2024, 3, 5);
        QCOMPARE(TimeStampString(QDateTime(day, QTime(9, 7, 2, 45))), "2024.03.05 09:07:02.045");
        QCOMPARE(TimeStampString(QDateTime(day, QTime(23, 59, 59, 999))),
                 "2024.03.05 23:59:59.999");
        QCOMPARE(TimeStampString(QDateTime(QDate(987, 12, 31), QTime(0, 0))),
                 "0987.12.31 00:00:00.000");
        // A moment given in UTC is shown in local time.
        QCOMPARE(TimeStampString(QDateTime(day, QTime(22, 30, 0, 7), QTimeZone::utc())),
                 "2024.03.06 00:30:00.007");
        QVERIFY(QRegularExpression(R"(^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3}$)")
                    .match(TimeStampString())
                    .hasMatch());
    }
};

QTEST_GUILESS_MAIN(TstLogFormat)
#include "tst_logformat.moc"
