// The buffer in which every message body is built and taken apart. It fixes
// the wire encoding: integers big-endian; a string is a 16-bit byte count and
// that many UTF-8 bytes; a block is a 32-bit byte count and that many bytes;
// a 64-bit integer is its upper 32 bits, then its lower 32 bits. Nothing is
// padded or terminated.
//
// Writes never move the read cursor, so a buffer can be written whole and
// then read from the start. Reads advance the cursor by what they consume.
//
// Short reads: callers test GetRemain() before every read whose presence the
// peer does not guarantee. A read that needs more bytes than remain still
// never touches memory beyond the content: it yields 0 (integers), an empty
// text (ReadString, ReadBytes) or an empty buffer (ReadBlock), moves the
// cursor to the end, and sets the short-read mark (HadShortRead()), so a
// parser can check once after a run of reads.
//
// Every read of the encoding, ByteArray's own included, goes through
// ByteReader: a bounded reader over bytes it does not own, for parsers that
// take a received body apart where it lies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Leaves new bytes uninitialised when the buffer grows by Extend: they are
// about to be overwritten by a receive or a file read, and clearing 64 KiB
// per chunk first would only cost time.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// Reads the wire encoding front to back from bytes it does not own. Every
// read checks the bytes that remain first; one that does not fit consumes
// nothing, leaves its out value as it was, returns false and marks the
// reader failed, so that a caller may also check once after a run of reads.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size, size_t at = 0)
        : mpData(data), mnSize(data != nullptr ? size : 0), mnAt(at <= mnSize ? at : mnSize) {}

    size_t Remain() const { return mnSize - mnAt; }
    size_t Pos() const { return mnAt; }
    bool Failed() const { return mbFailed; }

    // n bytes in place: *at (may be null) is where they begin.
    bool Bytes(size_t n, const uint8_t** at) {
        if (!Need(n)) return false;
        if (at != nullptr) *at = mpData + mnAt;
        mnAt += n;
        return true;
    }
    bool Skip(size_t n) { return Bytes(n, nullptr); }
    // Whether the next n bytes equal bytes; consumes nothing.
    bool Matches(const void* bytes, size_t n) const;
    bool Int16(uint16_t& value);
    bool Int32(uint32_t& value);
    bool Signed32(int32_t& value) {
        uint32_t raw = 0;
        if (!Int32(raw)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    // The upper 32 bits first.
    bool Int64(uint64_t& value);
    // A 16-bit count and that many bytes. The text ends at the first zero
    // byte among them; all of them are consumed.
    bool String(std::string& text);
    // A 32-bit count and that many bytes, in place.
    bool Block(const uint8_t** at, uint32_t& count);

private:
    bool Need(size_t n) {
        if (Remain() >= n) return true;
        mbFailed = true;
        return false;
    }

    const uint8_t* mpData;
    size_t mnSize;
    size_t mnAt;
    bool mbFailed = false;
};

class ByteArray {
public:
    ByteArray() = default;
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;
    ByteArray(ByteArray&&) = default;
    ByteArray& operator=(ByteArray&&) = default;

    // 0 on success; -1 (nothing appended, one log line) when src is null or n
    // is 0.
    int32_t AppendData(const void* src, int32_t n);
    int32_t AppendDataFront(const void* src, int32_t n);
    // These return the new length.
    int32_t AppendInt16(uint16_t value);
    int32_t AppendInt32(uint32_t value);
    int32_t AppendInt64(uint64_t value);
    // The text's length keeps only its low 16 bits as the count, so a text of
    // 65,536 bytes or more is cut; callers that may hold such texts check
    // first.
    int32_t AppendString(const char* text);
    int32_t AppendBlock(const void* src, int32_t n);
    int32_t AppendInt32Front(uint32_t value);

    // Room for n more bytes without reallocating (content unchanged).
    void Reserve(int32_t n);
    // Empties the buffer and resets the cursor and the short-read mark; the
    // room stays, so a buffer reused for one chunk after another allocates
    // once.
    void Clear();
    // Grows the content by n bytes (not initialised) and returns where they
    // begin, for a caller that fills them in place (a receive, a file read);
    // null for n <= 0.
    uint8_t* Extend(int32_t n);
    // Drops the content from length on (nothing when it is not shorter).
    void Truncate(int32_t length);
    // Overwrites the 4 bytes at position with value (big-endian); false
    // (nothing written) when they are not all inside the content.
    bool PatchInt32(int32_t position, uint32_t value);

    const uint8_t* GetData() const { return mpData.empty() ? nullptr : mpData.data(); }
    int32_t GetLength() const { return static_cast<int32_t>(mpData.size()); }
    int32_t GetRemain() const { return GetLength() - mnReadPos; }
    int32_t GetReadPos() const { return mnReadPos; }
    bool HadShortRead() const { return mbShortRead; }

    // Sets out to the n bytes at the cursor; returns the bytes remaining.
    int32_t ReadBytes(std::string& out, int32_t n);
    uint16_t ReadInt16();
    uint32_t ReadInt32();
    uint64_t ReadInt64();
    // Reads a 16-bit count and that many bytes; returns the text up to the
    // first zero byte among them (all of them are consumed).
    std::string ReadString();
    // Reads a 32-bit count and that many bytes into a new buffer owned by the
    // caller.
    std::unique_ptr<ByteArray> ReadBlock();

    // A reader over the content from the cursor on, and the cursor moved to
    // where it stopped: for a parser that reads a run of fields at once. A
    // reader that failed moves the cursor to the end and sets the short-read
    // mark, as a short read of the buffer's own does.
    ByteReader Reader() const {
        return ByteReader(GetData(), static_cast<size_t>(GetLength()), static_cast<size_t>(mnReadPos));
    }
    void ReadUpTo(const ByteReader& reader);

private:
    std::vector<uint8_t, UninitialisedAllocator<uint8_t>> mpData;  // the content, exactly GetLength() bytes
    int32_t mnReadPos = 0;
    bool mbShortRead = false;
};
