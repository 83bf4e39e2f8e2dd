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

const uint8_t* ByteArray::Take(int64_t n) {
    if (n < 0 || n > GetRemain()) {
        mnReadPos = GetLength();
        mbShortRead = true;
        return nullptr;
    }
    const uint8_t* at = mpData.data() + mnReadPos;
    mnReadPos += static_cast<int32_t>(n);
    return at;
}

int32_t ByteArray::ReadBytes(std::string& out, int32_t n) {
    const uint8_t* at = Take(n);
    if (at)
        out.assign(reinterpret_cast<const char*>(at), static_cast<size_t>(n));
    else
        out.clear();
    return GetRemain();
}

uint16_t ByteArray::ReadInt16() {
    const uint8_t* at = Take(2);
    if (!at) return 0;
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

uint32_t ByteArray::ReadInt32() {
    const uint8_t* at = Take(4);
    if (!at) return 0;
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

uint64_t ByteArray::ReadInt64() {
    if (GetRemain() < 8) {
        Take(8);
        return 0;
    }
    const uint64_t upper = ReadInt32();
    return (upper << 32) | ReadInt32();
}

std::string ByteArray::ReadString() {
    if (GetRemain() < 2) {
        Take(2);
        return std::string();
    }
    const uint16_t n = ReadInt16();
    const uint8_t* at = Take(n);
    if (!at) return std::string();
    const auto* text = reinterpret_cast<const char*>(at);
    const void* zero = std::memchr(text, 0, n);
    return std::string(text, zero ? static_cast<const char*>(zero) - text : n);
}

std::unique_ptr<ByteArray> ByteArray::ReadBlock() {
    auto block = std::make_unique<ByteArray>();
    if (GetRemain() < 4) {
        Take(4);
        return block;
    }
    const uint32_t n = ReadInt32();
    const uint8_t* at = Take(static_cast<int64_t>(n));
    // A zero count appends nothing; AppendData logs that, as it does for any
    // empty append.
    if (at) block->AppendData(at, static_cast<int32_t>(n));
    return block;
}
