#include "log/Win1251.h"

#include <QList>

#include <array>
#include <cstdint>

namespace
{

// Bytes 0x80..0xFF; the lower half is ASCII. 0x98 is unassigned in the code page (see header).
constexpr std::array<char16_t, 128> HighHalf = {
    // 0x80
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, //
    // 0x90
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, //
    // 0xA0
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, //
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, //
    // 0xB0
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, //
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, //
    // 0xC0: А..Я
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, //
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, //
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, //
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, //
    // 0xE0: а..я
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, //
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, //
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, //
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, //
};

// The byte of each character of the code page, plus one (0: not in it), up to its highest one.
constexpr char16_t HighestCharacter = 0x2122;
const std::array<std::uint16_t, HighestCharacter + 1> &ByteOf()
{
    static const std::array<std::uint16_t, HighestCharacter + 1> table = [] {
        std::array<std::uint16_t, HighestCharacter + 1> bytes{};
        for (unsigned i = 0; i < 0x80; ++i)
            bytes[i] = static_cast<std::uint16_t>(i + 1);
        for (std::size_t i = 0; i < HighHalf.size(); ++i)
            bytes[HighHalf[i]] = static_cast<std::uint16_t>(0x80 + i + 1);
        return bytes;
    }();
    return table;
}

} // namespace

bool Win1251FromString(QStringView text, QByteArray &bytes)
{
    const auto &byteOf = ByteOf();
    bytes.resize(text.size());
    char *out = bytes.data();
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit > HighestCharacter || byteOf[unit] == 0)
            return false;
        *out++ = static_cast<char>(byteOf[unit] - 1);
    }
    return true;
}

void AppendWin1251AsUtf8(const char *data, qsizetype count, QByteArray &out)
{
    for (qsizetype i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte < 0x80) {
            out.append(char(byte));
            continue;
        }
        const char16_t unit = HighHalf[byte - 0x80];
        if (unit < 0x800) {
            out.append(char(0xC0 | (unit >> 6))).append(char(0x80 | (unit & 0x3F)));
        } else {
            out.append(char(0xE0 | (unit >> 12)))
                .append(char(0x80 | ((unit >> 6) & 0x3F)))
                .append(char(0x80 | (unit & 0x3F)));
        }
    }
}

QString Win1251ToString(const char *data, qsizetype count)
{
    QString text(count, Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        out[i] = byte < 0x80 ? QChar(byte) : QChar(HighHalf[byte - 0x80]);
    }
    return text;
}

QString Win1251ToString(const QByteArray &bytes)
{
    return Win1251ToString(bytes.constData(), bytes.size());
}

QByteArray StringToWin1251(const QString &text)
{
    const auto &byteOf = ByteOf();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const char32_t codePoint : text.toUcs4()) {
        const bool known = codePoint <= HighestCharacter && byteOf[codePoint] != 0;
        bytes.append(known ? static_cast<char>(byteOf[codePoint] - 1) : '?');
    }
    return bytes;
}
