#include "log/LogModel.h"

#include "log/LogFormat.h"
#include "log/Win1251.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

// The prefixes the writers use, by code; a line with any other prefix is kept as text.
const std::array<QLatin1String, 7> Prefixes = {QLatin1String(""),         QLatin1String("APP->COM"),
                                               QLatin1String("COM->APP"), QLatin1String("TCP->COM"),
                                               QLatin1String("COM->TCP"), QLatin1String("<<"),
                                               QLatin1String(">>")};
// The data prefixes: their lines have a hex view.
constexpr int FirstDataPrefix = 1;
constexpr int LastDataPrefix = 4;

// Kind: bits 0-1 the writer (TLogEntry::TWriter, or 2 for a line kept as text), bits 2-4 the
// prefix code, bit 5 set when the text is UTF-8 rather than Windows-1251.
constexpr std::uint8_t TextLine = 2;
constexpr std::uint8_t Utf8Text = 0x20;

std::uint8_t WriterOf(std::uint8_t kind)
{
    return kind & 3;
}

int PrefixOf(std::uint8_t kind)
{
    return (kind >> 2) & 7;
}

constexpr qsizetype SavePiece = 1024 * 1024;

// "yyyy.mm.dd hh:mm:ss.zzz" in local time. Lines come in bursts within the same second, so the
// broken-down time of the last second is kept.
void AppendTimeStamp(qint64 msecs, QByteArray &out)
{
    static thread_local qint64 cachedSecond = -1;
    static thread_local char cached[64];
    const qint64 second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (second != cachedSecond) {
        const std::time_t t = std::time_t(second);
        std::tm local{};
        ::localtime_r(&t, &local);
        std::snprintf(cached, sizeof cached, "%04d.%02d.%02d %02d:%02d:%02d",
                      (local.tm_year + 1900) % 10000, (local.tm_mon + 1) % 100, local.tm_mday % 100,
                      local.tm_hour % 100, local.tm_min % 100, local.tm_sec % 100);
        cachedSecond = second;
    }
    const int ms = int(msecs - second * 1000);
    out.append(cached, 19).append('.');
    out.append(char('0' + ms / 100)).append(char('0' + ms / 10 % 10)).append(char('0' + ms % 10));
}

void AppendHex(QByteArrayView bytes, QByteArray &out)
{
    static const char digits[] = "0123456789ABCDEF";
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        out.append(digits[b >> 4]).append(digits[b & 15]).append(' ');
    }
}

} // namespace

TLogModel::TLogModel(QObject *parent) : QAbstractListModel(parent)
{
    FPublishTimer.setSingleShot(true);
    FPublishTimer.setInterval(PublishMs);
    connect(&FPublishTimer, &QTimer::timeout, this, &TLogModel::Publish);
}

TLogModel::~TLogModel() = default;

void TLogModel::Append(const TLogEntry &entry)
{
    Append(entry.Writer, entry.Time, entry.Prefix, entry.Text);
}

std::optional<std::uint8_t> TLogModel::KindOf(TLogEntry::TWriter writer, QStringView prefix)
{
    const auto known = std::find(Prefixes.begin(), Prefixes.end(), prefix);
    if (known == Prefixes.end())
        return std::nullopt;
    return std::uint8_t(std::uint8_t(writer) | std::uint8_t((known - Prefixes.begin()) << 2));
}

void TLogModel::Append(TLogEntry::TWriter writer, qint64 time, QStringView prefix, QStringView text)
{
    std::optional<std::uint8_t> kind = KindOf(writer, prefix);
    if (!kind) {
        AppendText(TLogEntry{writer, time, prefix.toString(), text.toString()}.Formatted());
        return;
    }
    if (!Win1251FromString(text, FScratch)) {
        FScratch = text.toUtf8();
        *kind |= Utf8Text;
    }
    Store(time, *kind, FScratch);
}

void TLogModel::AppendBytes(TLogEntry::TWriter writer, qint64 time, QStringView prefix,
                            QByteArrayView text)
{
    if (const std::optional<std::uint8_t> kind = KindOf(writer, prefix))
        Store(time, *kind, text);
    else
        Append(writer, time, prefix, Win1251ToString(text.data(), text.size()));
}

void TLogModel::AppendText(const QString &line)
{
    Store(0, TextLine | Utf8Text, line.toUtf8());
}

void TLogModel::Store(qint64 time, std::uint8_t kind, QByteArrayView text)
{
    FLines.Add(time, kind, text);
    if (!FPublishTimer.isActive())
        FPublishTimer.start();
}

void TLogModel::Publish()
{
    FPublishTimer.stop();
    const int all = Count();
    if (all <= FPublished)
        return;
    beginInsertRows(QModelIndex(), FPublished, all - 1);
    FPublished = all;
    endInsertRows();
}

void TLogModel::Clear()
{
    FPublishTimer.stop();
    beginResetModel();
    FLines.Clear();
    FPublished = 0;
    endResetModel();
}

void TLogModel::RemoveLine(int row)
{
    if (row < 0 || row >= Count())
        return;
    // A line the views know of leaves them too; its bytes stay in their chunk until a clear.
    if (row < FPublished) {
        beginRemoveRows(QModelIndex(), row, row);
        FLines.Remove(std::size_t(row));
        --FPublished;
        endRemoveRows();
    } else {
        FLines.Remove(std::size_t(row));
    }
}

void TLogModel::AppendUtf8(std::size_t line, bool hex, QByteArray &out) const
{
    const QByteArrayView text = FLines.Text(line);
    const std::uint8_t kind = FLines.Kind(line);
    if (WriterOf(kind) == TextLine) {
        out.append(text);
        return;
    }
    AppendTimeStamp(FLines.Time(line), out);
    const int prefix = PrefixOf(kind);
    out.append(WriterOf(kind) == std::uint8_t(TLogEntry::TWriter::Window) ? ": " : ":");
    out.append(Prefixes[std::size_t(prefix)].data(), Prefixes[std::size_t(prefix)].size());
    out.append(' ');
    const bool utf8 = (kind & Utf8Text) != 0;
    if (hex && prefix >= FirstDataPrefix && prefix <= LastDataPrefix) {
        AppendHex(utf8 ? QByteArrayView(StringToWin1251(QString::fromUtf8(text))) : text, out);
        out.append(' ');
    }
    if (utf8)
        out.append(text);
    else
        AppendWin1251AsUtf8(text.data(), text.size(), out);
}

QString TLogModel::Line(int row) const
{
    return Render(row, false);
}

QString TLogModel::ShownLine(int row) const
{
    return Render(row, FHexView);
}

QString TLogModel::Render(int row, bool hex) const
{
    if (row < 0 || row >= Count())
        return {};
    QByteArray out;
    AppendUtf8(std::size_t(row), hex, out);
    return QString::fromUtf8(out);
}

void TLogModel::SetHexView(bool on)
{
    if (on == FHexView)
        return;
    FHexView = on;
    if (FPublished > 0)
        emit dataChanged(index(0), index(FPublished - 1), {Qt::DisplayRole});
}

bool TLogModel::WriteText(const std::function<bool(const QByteArray &piece)> &write) const
{
    QByteArray piece;
    piece.reserve(SavePiece + 64 * 1024);
    for (std::size_t line = 0; line < FLines.Size(); ++line) {
        AppendUtf8(line, false, piece);
        piece.append("\r\n", 2);
        if (piece.size() >= SavePiece) {
            if (!write(piece))
                return false;
            piece.resize(0);
        }
    }
    return piece.isEmpty() || write(piece);
}

int TLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : FPublished;
}

QVariant TLogModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= FPublished)
        return {};
    return ShownLine(index.row());
}
