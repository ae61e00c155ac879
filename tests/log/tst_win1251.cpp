#include "log/Win1251.h"

#include <QSet>
#include <QTest>

#include <iconv.h>

namespace
{

// The C library's own converter, an independent reference for every assigned byte.
QString ReferenceDecode(unsigned char byte)
{
    iconv_t cd = iconv_open("UTF-16LE", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return {};
    char in = static_cast<char>(byte);
    char16_t out[4] = {};
    char *inPtr = &in;
    char *outPtr = reinterpret_cast<char *>(out);
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        return {};
    return QString::fromUtf16(out, static_cast<qsizetype>((sizeof out - outLeft) / 2));
}

} // namespace

class TstWin1251 : public QObject
{
    Q_OBJECT

private slots:
    void everyByteIsOneDistinctCharacter()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(static_cast<char>(b));
        const QString text = Win1251ToString(all);
        QCOMPARE(text.size(), 256);
        QCOMPARE(QSet<QChar>(text.cbegin(), text.cend()).size(), 256);
        QCOMPARE(StringToWin1251(text), all);
        // The exact forms both ways: every byte comes back, and so does its UTF-8.
        QByteArray exact;
        QVERIFY(Win1251FromString(text, exact));
        QCOMPARE(exact, all);
        QVERIFY(!Win1251FromString(QStringLiteral("a→b"), exact));
        QByteArray utf8;
        AppendWin1251AsUtf8(all.constData(), all.size(), utf8);
        QCOMPARE(utf8, text.toUtf8());
        // The pointer-and-count form reads embedded NUL bytes too.
        QCOMPARE(Win1251ToString(all.constData() + 0x7E, 4), text.mid(0x7E, 4));
    }

    void matchesTheCLibraryConverter()
    {
        for (int b = 0; b < 256; ++b) {
            const QString ours = Win1251ToString(QByteArray(1, static_cast<char>(b)));
            if (b == 0x98) {
                // Unassigned in the code page: kept as the control character of the same value.
                QCOMPARE(ours, QString(QChar(0x98)));
                continue;
            }
            const QString reference = ReferenceDecode(static_cast<unsigned char>(b));
            QVERIFY2(!reference.isEmpty(),
                     qPrintable(QString("no reference for 0x%1").arg(b, 2, 16, QLatin1Char('0'))));
            QVERIFY2(ours == reference, qPrintable(QString("byte 0x%1").arg(b, 2, 16)));
        }
    }

    void knownCharacters()
    {
        QCOMPARE(Win1251ToString(QByteArray("\xC0\xFF\xA8\xB9\x88")), "АяЁ№€");
        QCOMPARE(Win1251ToString(QByteArray("\xCE\xCA\r\n")), "ОК\r\n");
        QCOMPARE(StringToWin1251("Прибор №1"), QByteArray("\xCF\xF0\xE8\xE1\xEE\xF0 \xB9"
                                                          "1"));
    }

    void missingCharactersBecomeQuestionMarks()
    {
        // Latin-1 letters the code page lacks, a CJK character and one outside 16 bits (a
        // surrogate pair in the string) each give one '?'.
        QCOMPARE(StringToWin1251(QString::fromUtf8("é日😀x")), QByteArray("???x"));
        QCOMPARE(StringToWin1251(QString()), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TstWin1251)
#include "tst_win1251.moc"
