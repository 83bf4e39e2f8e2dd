#include "transport/ByteArray.h"

#include <cstring>

#include "log/Log.h"

int32_t ByteArray::AppendData(const void* src, int32_t n) {
    if (!src || n <= 0) {
        QS_LOG_SOCKET("ByteArray::AppendData");
        return -1;
    }
    const auto* bytes = static_cast<const uint8_t*>(src);
    mpData.insert(mpData.end(), bytes, bytes + n);
    return 0;
}

int32_t ByteArray::AppendDataFront(const void* src, int32_t n) {
    if (!src || n <= 0) {
        QS_LOG_SOCKET("ByteArray::AppendDataFront");
        return -1;
    }
    const auto* bytes = static_cast<const uint8_t*>(src);
    mpData.insert(mpData.begin(), bytes, bytes + n);
    return 0;
}

void ByteArray::Clear() {
    mpData.clear();
    mnReadPos = 0;
    mbShortRead = false;
}

uint8_t* ByteArray::Extend(int32_t n) {
    if (n <= 0) return nullptr;
    const size_t at = mpData.size();
    mpData.resize(at + static_cast<size_t>(n));
    return mpData.data() + at;
}

void ByteArray::Truncate(int32_t length) {
    if (length >= 0 && static_cast<size_t>(length) < mpData.size()) mpData.resize(static_cast<size_t>(length));
    if (mnReadPos > GetLength()) mnReadPos = GetLength();
}

bool ByteArray::PatchInt32(int32_t position, uint32_t value) {
    if (position < 0 || position > GetLength() - 4) return false;
    uint8_t* at = mpData.data() + position;
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
    return true;
}

int32_t ByteArray::AppendInt16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    mpData.insert(mpData.end(), bytes, bytes + 2);
    return GetLength();
}

int32_t ByteArray::AppendInt32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    mpData.insert(mpData.end(), bytes, bytes + 4);
    return GetLength();
}

int32_t ByteArray::AppendInt64(uint64_t value) {
    AppendInt32(static_cast<uint32_t>(value >> 32));
    return AppendInt32(static_cast<uint32_t>(value));
}

int32_t ByteArray::AppendString(const char* text) {
    const size_t length = text ? std::strlen(text) : 0;
    const uint16_t n = static_cast<uint16_t>(length & 0xFFFF);
    AppendInt16(n);
    if (n > 0) AppendData(text, n);
    return GetLength();
}

int32_t ByteArray::AppendBlock(const void* src, int32_t n) {
    AppendInt32(static_cast<uint32_t>(n));
    if (n > 0) AppendData(src, n);
    return GetLength();
}

int32_t ByteArray::AppendInt32Front(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    mpData.insert(mpData.begin(), bytes, bytes + 4);
    return GetLength();
}

void ByteArray::Reserve(int32_t n) {
    if (n > 0) mpData.reserve(mpData.size() + static_cast<size_t>(n));
}

bool ByteReader::Matches(const void* bytes, size_t n) const {
    return Remain() >= n && (n == 0 || std::memcmp(mpData + mnAt, bytes, n) == 0);
}

bool ByteReader::Int16(uint16_t& value) {
    const uint8_t* at = nullptr;
    if (!Bytes(2, &at)) return false;
    value = static_cast<uint16_t>((at[0] << 8) | at[1]);
    return true;
}

bool ByteReader::Int32(uint32_t& value) {
    const uint8_t* at = nullptr;
    if (!Bytes(4, &at)) return false;
    value = (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
    return true;
}

bool ByteReader::Int64(uint64_t& value) {
    uint32_t upper = 0, lower = 0;
    if (!Need(8)) return false;
    Int32(upper);
    Int32(lower);
    value = (uint64_t{upper} << 32) | lower;
    return true;
}

bool ByteReader::String(std::string& text) {
    if (!Need(2)) return false;
    const size_t count = (size_t{mpData[mnAt]} << 8) | mpData[mnAt + 1];
    if (!Need(2 + count)) return false;
    const auto* at = reinterpret_cast<const char*>(mpData + mnAt + 2);
    const void* zero = std::memchr(at, 0, count);
    text.assign(at, zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - at) : count);
    mnAt += 2 + count;
    return true;
}

bool ByteReader::Block(const uint8_t** at, uint32_t& count) {
    if (!Need(4)) return false;
    const uint32_t n = (uint32_t{mpData[mnAt]} << 24) | (uint32_t{mpData[mnAt + 1]} << 16) |
                       (uint32_t{mpData[mnAt + 2]} << 8) | mpData[mnAt + 3];
    // Compared with what remains after the count, so that no sum can wrap
    // where size_t is 32 bits.
    if (Remain() - 4 < n) {
        mbFailed = true;
        return false;
    }
    if (at != nullptr) *at = mpData + mnAt + 4;
    count = n;
    mnAt += 4 + static_cast<size_t>(n);
    return true;
}

void ByteArray::ReadUpTo(const ByteReader& reader) {
    if (reader.Failed()) {
        mnReadPos = GetLength();
        mbShortRead = true;
    } else {
        mnReadPos = static_cast<int32_t>(reader.Pos());
    }
}

int32_t ByteArray::ReadBytes(std::string& out, int32_t n) {
    ByteReader in = Reader();
    const uint8_t* at = nullptr;
    // A negative count asks for more than any content holds.
    const size_t count = n >= 0 ? static_cast<size_t>(n) : static_cast<size_t>(GetLength()) + 1;
    if (in.Bytes(count, &at))
        out.assign(reinterpret_cast<const char*>(at), count);
    else
        out.clear();
    ReadUpTo(in);
    return GetRemain();
}

uint16_t ByteArray::ReadInt16() {
    ByteReader in = Reader();
    uint16_t value = 0;
    in.Int16(value);
    ReadUpTo(in);
    return value;
}

uint32_t ByteArray::ReadInt32() {
    ByteReader in = Reader();
    uint32_t value = 0;
    in.Int32(value);
    ReadUpTo(in);
    return value;
}

uint64_t ByteArray::ReadInt64() {
    ByteReader in = Reader();
    uint64_t value = 0;
    in.Int64(value);
    ReadUpTo(in);
    return value;
}

std::string ByteArray::ReadString() {
    ByteReader in = Reader();
    std::string text;
    in.String(text);
    ReadUpTo(in);
    return text;
}

std::unique_ptr<ByteArray> ByteArray::ReadBlock() {
    auto block = std::make_unique<ByteArray>();
    ByteReader in = Reader();
    const uint8_t* at = nullptr;
    uint32_t count = 0;
    // A zero count appends nothing; AppendData logs that, as it does for any
    // empty append.
    if (in.Block(&at, count)) block->AppendData(at, static_cast<int32_t>(count));
    ReadUpTo(in);
    return block;
}
