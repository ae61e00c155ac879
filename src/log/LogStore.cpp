#include "log/LogStore.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace
{

constexpr std::size_t TextBlockSize = std::size_t(1) << 20;   // a text's offset takes 20 bits
constexpr std::size_t RecordsPerBlock = std::size_t(1) << 16; // 1 MiB of 16-byte records
constexpr std::size_t MaxLength = (std::size_t(1) << 24) - 1;
constexpr std::uint64_t TimeMask = (std::uint64_t(1) << 48) - 1;

} // namespace

TPageBlock::TPageBlock(std::size_t size) : FSize(size)
{
    void *pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        throw std::bad_alloc();
    FData = static_cast<char *>(pages);
}

TPageBlock::~TPageBlock()
{
    if (FData != nullptr)
        ::munmap(FData, FSize);
}

TPageBlock::TPageBlock(TPageBlock &&other) noexcept : FData(other.FData), FSize(other.FSize)
{
    other.FData = nullptr;
    other.FSize = 0;
}

TPageBlock &TPageBlock::operator=(TPageBlock &&other) noexcept
{
    std::swap(FData, other.FData);
    std::swap(FSize, other.FSize);
    return *this;
}

void TLogStore::Add(std::int64_t time, std::uint8_t kind, QByteArrayView text)
{
    const std::size_t length = std::min<std::size_t>(std::size_t(text.size()), MaxLength);
    // A line longer than a block has one of its own.
    if (FTexts.empty() || FUsed + length > FTexts.back().Size()) {
        FTexts.emplace_back(std::max(TextBlockSize, length));
        FUsed = 0;
    }
    if (FCount % RecordsPerBlock == 0 && FCount / RecordsPerBlock == FRecords.size())
        FRecords.emplace_back(RecordsPerBlock * sizeof(TRecord));
    std::memcpy(FTexts.back().Data() + FUsed, text.data(), length);
    TRecord &record = reinterpret_cast<TRecord *>(
        FRecords[FCount / RecordsPerBlock].Data())[FCount % RecordsPerBlock];
    record.TimeKind =
        (std::uint64_t(std::max<std::int64_t>(time, 0)) & TimeMask) | (std::uint64_t(kind) << 48);
    record.Place = std::uint64_t(length) | (std::uint64_t(FUsed) << 24) |
                   (std::uint64_t(FTexts.size() - 1) << 44);
    FUsed += length;
    ++FCount;
}

const TLogStore::TRecord &TLogStore::Record(std::size_t line) const
{
    return reinterpret_cast<const TRecord *>(
        FRecords[line / RecordsPerBlock].Data())[line % RecordsPerBlock];
}

TLogStore::TRecord &TLogStore::Record(std::size_t line)
{
    return reinterpret_cast<TRecord *>(
        FRecords[line / RecordsPerBlock].Data())[line % RecordsPerBlock];
}

std::int64_t TLogStore::Time(std::size_t line) const
{
    return std::int64_t(Record(line).TimeKind & TimeMask);
}

std::uint8_t TLogStore::Kind(std::size_t line) const
{
    return std::uint8_t(Record(line).TimeKind >> 48);
}

QByteArrayView TLogStore::Text(std::size_t line) const
{
    const std::uint64_t place = Record(line).Place;
    const std::size_t block = std::size_t(place >> 44);
    const std::size_t offset = std::size_t((place >> 24) & 0xFFFFF);
    return QByteArrayView(FTexts[block].Data() + offset, qsizetype(place & MaxLength));
}

void TLogStore::Remove(std::size_t line)
{
    for (std::size_t i = line; i + 1 < FCount; ++i)
        Record(i) = Record(i + 1);
    --FCount;
}

void TLogStore::Clear()
{
    FRecords.clear();
    FTexts.clear();
    FCount = 0;
    FUsed = 0;
}
