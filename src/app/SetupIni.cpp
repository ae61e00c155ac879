#include "app/SetupIni.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Windows-1251 for the bytes 0x80 to 0xBF; 0xC0 to 0xFF are U+0410 to U+044F in order. 0x98 has
// no character in the code page and keeps its own code. Kept here so that this file needs only
// Qt Core (the fuzz target builds it alone); a candidate for sharing with the log's conversion.
constexpr char16_t kWin1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

QString win1251ToText(const char *bytes, qsizetype size)
{
    QString text(size, Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80)
            out[i] = QChar(char16_t(b));
        else if (b < 0xC0)
            out[i] = QChar(kWin1251High[b - 0x80]);
        else
            out[i] = QChar(char16_t(0x0410 + (b - 0xC0)));
    }
    return text;
}

bool isBlankOrControl(unsigned char c)
{
    return c <= 32;
}

// Calls f(line) for every line of text; lines end at CR, LF or CR LF. The text after the last
// line break is a line when it is not empty.
template <typename F> void forEachLine(QStringView text, F f)
{
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c != u'\r' && c != u'\n')
            continue;
        if (!f(text.sliced(start, i - start)))
            return;
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        f(text.sliced(start));
}

} // namespace

QString ModelKeyFromReply(const QByteArray &verInfo, bool *hasToken)
{
    QByteArray text = verInfo;
    text.replace('"', QByteArray());

    const qsizetype comma = text.indexOf(',');
    qsizetype pos = comma < 0 ? 0 : comma + 1;
    const qsizetype n = text.size();

    bool token = false;
    for (qsizetype i = pos; i < n && !token; ++i)
        token = !isBlankOrControl(static_cast<unsigned char>(text[i]));
    if (hasToken)
        *hasToken = token;
    if (!token)
        return {};

    // Characters 1 to 32 are skipped; a NUL is not and ends the token at once.
    while (pos < n && text[pos] != '\0' && isBlankOrControl(static_cast<unsigned char>(text[pos])))
        ++pos;
    qsizetype end = pos;
    while (end < n && text[end] != ',' && !isBlankOrControl(static_cast<unsigned char>(text[end])))
        ++end;

    const qsizetype dot = text.indexOf('.', pos);
    if (dot < 0 || dot >= end)
        return {};
    return win1251ToText(text.constData() + pos, dot - pos);
}

QString DecodeSetupIni(const QByteArray &iniBytes)
{
    const bool cut = iniBytes.size() > SetupIniMaxBytes;
    QByteArrayView bytes(iniBytes.constData(), std::min(iniBytes.size(), SetupIniMaxBytes));

    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes = bytes.sliced(3);
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding = QStringConverter::Utf16LE;
        bytes = bytes.sliced(2);
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding = QStringConverter::Utf16BE;
        bytes = bytes.sliced(2);
    }
    // The mark is already taken off: a second one at the start is a character of the text.
    QStringDecoder decoder(encoding, QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);

    if (cut) {
        qsizetype lastBreak = text.size() - 1;
        while (lastBreak >= 0 && text[lastBreak] != u'\r' && text[lastBreak] != u'\n')
            --lastBreak;
        // A CR right at the cut may be the first half of a CR LF: the line before it is whole.
        text.truncate(lastBreak + 1);
    }
    return text;
}

QStringList SetupIniLines(const QByteArray &iniBytes)
{
    QStringList lines;
    forEachLine(DecodeSetupIni(iniBytes), [&lines](QStringView line) {
        lines.append(line.toString());
        return true;
    });
    return lines;
}

bool IsSafeSetupValue(const QString &value)
{
    if (value.isEmpty() || value == u"." || value == u"..")
        return false;
    for (const QChar c : value) {
        if (c == u'/' || c.category() == QChar::Other_Control)
            return false;
    }
    // The longer of the two names, the copy's, must fit in one directory entry.
    return QFile::encodeName(value).size() + 4 <= NAME_MAX;
}

QString LookupSetupProgram(const QByteArray &iniBytes, const QString &key, bool *found,
                           SetupLookup *outcome)
{
    SetupLookup result = SetupLookup::NotListed;
    QString value;
    const QString text = DecodeSetupIni(iniBytes);
    forEachLine(text, [&](QStringView line) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            return true;
        if (line.first(eq).compare(key, Qt::CaseInsensitive) != 0)
            return true;
        value = line.sliced(eq + 1).toString();
        result = IsSafeSetupValue(value) ? SetupLookup::Found : SetupLookup::Refused;
        return false;
    });
    if (result != SetupLookup::Found)
        value.clear();
    if (found)
        *found = result == SetupLookup::Found;
    if (outcome)
        *outcome = result;
    return value;
}

bool ReadSetupIni(const QString &path, QByteArray *bytes, QString *error)
{
    bytes->clear();
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    // Non-blocking, so that a FIFO planted under that name cannot hold the window thread.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("not a regular file"));
    }
    const qsizetype limit = SetupIniMaxBytes + 1;
    char chunk[65536];
    while (bytes->size() < limit) {
        const qsizetype want = std::min<qsizetype>(qsizetype(sizeof chunk), limit - bytes->size());
        const ssize_t got = ::read(fd, chunk, size_t(want));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int err = errno;
            ::close(fd);
            bytes->clear();
            return fail(QString::fromLocal8Bit(std::strerror(err)));
        }
        if (got == 0)
            break;
        bytes->append(chunk, got);
    }
    ::close(fd);
    return true;
}
