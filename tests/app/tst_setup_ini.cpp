// Model key of the identification reply and the lookup of its setup program in "setup.ini".
#include "app/SetupIni.h"
#include "support/ResultCheck.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TstSetupIni : public QObject
{
    Q_OBJECT

private slots:
    void modelKey_data();
    void modelKey();
    void lookup_data();
    void lookup();
    void encodingsAndLineEnds();
    void hostileFile();
    void readIni();
};

void TstSetupIni::modelKey_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("hasToken");
    const QByteArray ok = "\r\nOK\r\n";
    QTest::newRow("plain") << "+VER_INFO: 12,MODEL.2.05,x" + ok << "MODEL" << true;
    QTest::newRow("quoted") << "+VER_INFO: \"12\",\"MODEL.2.05\"" + ok << "MODEL" << true;
    QTest::newRow("blanks before") << "12, \t\r\nMODEL.2.05 x" + ok << "MODEL" << true;
    QTest::newRow("quote inside token") << "12,MO\"DEL.2" + ok << "MODEL" << true;
    QTest::newRow("comma inside quotes") << "\"a,b\",C.1" + ok << "" << true;
    QTest::newRow("no comma") << "  MODEL.1" + ok << "MODEL" << true;
    QTest::newRow("letter case kept") << "1,model.2" + ok << "model" << true;
    QTest::newRow("no dot in token") << "1,MODEL OK.1" + ok << "" << true;
    QTest::newRow("dot after second comma") << "1,AB,C.D" + ok << "" << true;
    QTest::newRow("comma follows") << "1, ,MODEL.1" + ok << "" << true;
    QTest::newRow("NUL is not skipped") << QByteArray("1, \0MODEL.1 OK", 14) << "" << true;
    QTest::newRow("only blanks after comma") << QByteArray("OK,  \r\n\t\0 ", 10) << "" << false;
    QTest::newRow("only quotes after comma") << QByteArray("OK,\"\" \"") << "" << false;
    QTest::newRow("empty") << QByteArray() << "" << false;
    QTest::newRow("cyrillic") << QByteArray("1,\xcf\xd0\xc8\xc1\xce\xd0-\xb8.1") << "ПРИБОР-ё"
                              << true;
}

void TstSetupIni::modelKey()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, key);
    QFETCH(bool, hasToken);
    bool token = !hasToken;
    QCOMPARE(ModelKeyFromReply(reply, &token), key);
    QCOMPARE(token, hasToken);
}

void TstSetupIni::lookup_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("value");
    const int found = int(SetupLookup::Found);
    const int none = int(SetupLookup::NotListed);
    const int refused = int(SetupLookup::Refused);
    QTest::newRow("case-insensitive")
        << QByteArray("[x]\r\nmodel=prog\r\n") << "MODEL" << found << "prog";
    QTest::newRow("cyrillic case") << QByteArray("прибор=p\n") << "ПРИБОР" << found << "p";
    QTest::newRow("first of two wins")
        << QByteArray("MODEL=one\nModel=two\n") << "model" << found << "one";
    QTest::newRow("blank before name") << QByteArray(" MODEL=a\n") << "MODEL" << none << "";
    QTest::newRow("blank after name") << QByteArray("MODEL =a\n") << "MODEL" << none << "";
    QTest::newRow("no equals") << QByteArray("MODEL\nMODELprog\n") << "MODEL" << none << "";
    QTest::newRow("value untrimmed")
        << QByteArray("MODEL= prog  \n") << "MODEL" << found << " prog  ";
    QTest::newRow("equals in value") << QByteArray("MODEL=a=b") << "MODEL" << found << "a=b";
    QTest::newRow("empty key") << QByteArray("x=1\n=any\n") << "" << found << "any";
    QTest::newRow("empty key, no line") << QByteArray("x=1\n x=\n") << "" << none << "";
    QTest::newRow("NUL in name") << QByteArray("MO\0DEL=x\n", 9) << "MODEL" << none << "";
    QTest::newRow("empty value") << QByteArray("MODEL=\n") << "MODEL" << refused << "";
    QTest::newRow("slash") << QByteArray("MODEL=../../bin/sh\n") << "MODEL" << refused << "";
    QTest::newRow("dot") << QByteArray("MODEL=.\n") << "MODEL" << refused << "";
    QTest::newRow("dot dot") << QByteArray("MODEL=..\n") << "MODEL" << refused << "";
    QTest::newRow("NUL") << QByteArray("MODEL=a\0b\n", 10) << "MODEL" << refused << "";
    QTest::newRow("too long") << "MODEL=" + QByteArray(252, 'a') << "MODEL" << refused << "";
    QTest::newRow("longest") << "MODEL=" + QByteArray(251, 'a') << "MODEL" << found
                             << QString(251, u'a');
    QTest::newRow("refused first counts")
        << QByteArray("MODEL=..\nMODEL=prog\n") << "MODEL" << refused << "";
    QTest::newRow("dots inside") << QByteArray("MODEL=..prog..\n") << "MODEL" << found
                                 << "..prog..";
}

void TstSetupIni::lookup()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(int, outcome);
    QFETCH(QString, value);
    bool found = false;
    SetupLookup result = SetupLookup::Found;
    QCOMPARE(LookupSetupProgram(ini, key, &found, &result), value);
    QCOMPARE(int(result), outcome);
    QCOMPARE(found, outcome == int(SetupLookup::Found));
}

void TstSetupIni::encodingsAndLineEnds()
{
    const QString text = QStringLiteral("a=1\rПРИБОР=2\r\n\r\nb=3\n\rc=4");
    const QStringList lines = {"a=1", "ПРИБОР=2", "", "b=3", "", "c=4"};
    const QByteArray utf8 = text.toUtf8();
    QByteArray le = "\xFF\xFE";
    QByteArray be = "\xFE\xFF";
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        le.append(char(c & 0xFF)).append(char(c >> 8));
        be.append(char(c >> 8)).append(char(c & 0xFF));
    }
    const QList<QByteArray> files = {utf8, "\xEF\xBB\xBF" + utf8, le, be};
    for (const QByteArray &file : files) {
        QCOMPARE(SetupIniLines(file), lines);
        bool found = false;
        // The mark is no part of the first name.
        QCOMPARE(LookupSetupProgram(file, "A", &found), QStringLiteral("1"));
        QCOMPARE(LookupSetupProgram(file, "прибор", &found), QStringLiteral("2"));
        QCOMPARE(LookupSetupProgram(file, "c", &found), QStringLiteral("4"));
    }
}

void TstSetupIni::hostileFile()
{
    bool found = false;
    // Binary rubbish and invalid UTF-8 around a good line.
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk.append(char((i * 37) & 0xFF));
    QCOMPARE(LookupSetupProgram(junk + "\nMODEL=prog\n" + junk, "MODEL", &found),
             QStringLiteral("prog"));

    // A line of almost the whole cap, with and without '='.
    const QByteArray huge(SetupIniMaxBytes - 100, 'A');
    QCOMPARE(LookupSetupProgram(huge + "\nMODEL=p\n", "MODEL", &found), QStringLiteral("p"));
    QCOMPARE(LookupSetupProgram(huge + "=x\nMODEL=p\n", "MODEL", &found), QStringLiteral("p"));

    // Only the first SetupIniMaxBytes count, and a line cut there is dropped whole.
    QByteArray cut = "MODEL=first\n" + QByteArray(SetupIniMaxBytes - 12 - 9, '#') + "\nOTHER=ab";
    QCOMPARE(cut.size(), SetupIniMaxBytes);
    cut += "cdef\nLATE=x\n";
    QCOMPARE(LookupSetupProgram(cut, "MODEL", &found), QStringLiteral("first"));
    SetupLookup outcome = SetupLookup::Found;
    LookupSetupProgram(cut, "OTHER", &found, &outcome);
    QCOMPARE(outcome, SetupLookup::NotListed);
    LookupSetupProgram(cut, "LATE", &found, &outcome);
    QCOMPARE(outcome, SetupLookup::NotListed);
}

void TstSetupIni::readIni()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray bytes;
    const TResult missing = ReadSetupIni(dir.filePath("missing"), bytes);
    QVERIFY(!missing);
    QVERIFY(missing.Reason().contains(dir.filePath("missing")));
    QVERIFY(!ReadSetupIni(dir.path(), bytes));
    // A FIFO must be refused, not block the caller.
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
    QVERIFY(!ReadSetupIni(dir.filePath("fifo"), bytes));

    QFile big(dir.filePath("setup.ini"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.write("MODEL=p\n") == 8);
    QVERIFY(big.resize(3 * SetupIniMaxBytes));
    big.close();
    QVERIFY_OK(ReadSetupIni(big.fileName(), bytes));
    QCOMPARE(bytes.size(), SetupIniMaxBytes + 1);
    QVERIFY(bytes.startsWith("MODEL=p\n"));
}

QTEST_GUILESS_MAIN(TstSetupIni)
#include "tst_setup_ini.moc"
