#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <vector>

// Memory taken straight from the system (an anonymous mapping) and given back whole. Its pages
// become resident only as they are written.
class TPageBlock
{
public:
    explicit TPageBlock(std::size_t size);
    ~TPageBlock();
    TPageBlock(TPageBlock &&other) noexcept;
    TPageBlock &operator=(TPageBlock &&other) noexcept;
    TPageBlock(const TPageBlock &) = delete;
    TPageBlock &operator=(const TPageBlock &) = delete;

    char *Data() const { return FData; }
    std::size_t Size() const { return FSize; }

private:
    char *FData = nullptr;
    std::size_t FSize = 0;
};

// The log's lines as stored: a 16-byte record each (time, kind, where the text is) and the text
// bytes, both in page blocks of their own. So a line costs its text and 16 bytes, the store never
// mixes with the program's short-lived memory (which the allocator may keep), and a clear gives
// everything back to the system.
class TLogStore
{
public:
    // Appends a line; time in milliseconds since the epoch, kind a byte of the caller's. Text
    // beyond 16 MiB is not kept (no line of the log comes near it).
    void Add(std::int64_t time, std::uint8_t kind, QByteArrayView text);
    std::size_t Size() const { return FCount; }
    std::int64_t Time(std::size_t line) const;
    std::uint8_t Kind(std::size_t line) const;
    QByteArrayView Text(std::size_t line) const;
    // Takes a line out; the lines after it move up. Its text stays in its block until a clear.
    void Remove(std::size_t line);
    void Clear();

private:
    struct TRecord {
        std::uint64_t TimeKind; // bits 0-47 the time, bits 48-55 the kind
        std::uint64_t Place;    // bits 0-23 the length, 24-43 the offset, 44-63 the block
    };

    const TRecord &Record(std::size_t line) const;
    TRecord &Record(std::size_t line);

    std::vector<TPageBlock> FRecords;
    std::vector<TPageBlock> FTexts;
    std::size_t FCount = 0;
    std::size_t FUsed = 0; // bytes taken of the last text block
};
