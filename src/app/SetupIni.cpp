#include "app/SetupIni.h"

#include "log/Win1251.h"
#include "platform/Deadline.h"

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
    return Win1251ToString(text.constData() + pos, dot - pos);
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

TResult ReadSetupIni(const QString &path, QByteArray &bytes)
{
    bytes.clear();
    // Non-blocking, so that a FIFO planted under that name cannot hold the window thread.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return TResult::Failure(ErrnoReason(path, errno));
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return TResult::Failure(QStringLiteral("%1: это не файл").arg(path));
    }
    const qsizetype limit = SetupIniMaxBytes + 1;
    char chunk[65536];
    while (bytes.size() < limit) {
        const qsizetype want = std::min<qsizetype>(qsizetype(sizeof chunk), limit - bytes.size());
        const ssize_t got = RetryOnInterrupt([&] { return ::read(fd, chunk, size_t(want)); });
        if (got < 0) {
            const int err = errno;
            ::close(fd);
            bytes.clear();
            return TResult::Failure(ErrnoReason(path, err));
        }
        if (got == 0)
            break;
        bytes.append(chunk, got);
    }
    ::close(fd);
    return TResult::Success();
}
