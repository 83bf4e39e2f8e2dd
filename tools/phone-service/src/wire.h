// Big-endian codec of the sync wire format: 32-bit and 64-bit integers
// (most significant byte first), strings with a 16-bit byte count and blocks
// with a 32-bit byte count, neither with a terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace phone_service {

using Bytes = std::vector<std::uint8_t>;

// The 20 ASCII bytes that begin every request and response body.
inline constexpr std::string_view kSyncMarker = "<Hello Velmora Sync>";
static_assert(kSyncMarker.size() == 20, "marker is 20 bytes");

class WireWriter {
public:
    void Int32(std::int32_t v) { Raw32(static_cast<std::uint32_t>(v)); }
    void Int64(std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        Raw32(static_cast<std::uint32_t>(u >> 32));
        Raw32(static_cast<std::uint32_t>(u & 0xffffffffu));
    }
    // Strings longer than a 16-bit count can describe are cut at 65535
    // bytes; every string this service writes is far shorter.
    void String(std::string_view s) {
        const std::size_t n = s.size() > 0xffff ? 0xffff : s.size();
        buf_.push_back(static_cast<std::uint8_t>(n >> 8));
        buf_.push_back(static_cast<std::uint8_t>(n & 0xff));
        buf_.insert(buf_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void Block(const std::uint8_t* data, std::size_t n) {
        Raw32(static_cast<std::uint32_t>(n));
        if (n != 0) buf_.insert(buf_.end(), data, data + n);
    }
    void Block(const Bytes& b) { Block(b.data(), b.size()); }
    void Raw(std::string_view s) { buf_.insert(buf_.end(), s.begin(), s.end()); }
    void Raw(const Bytes& b) { buf_.insert(buf_.end(), b.begin(), b.end()); }

    std::size_t size() const { return buf_.size(); }
    const Bytes& bytes() const { return buf_; }
    Bytes Take() { return std::move(buf_); }

private:
    void Raw32(std::uint32_t u) {
        buf_.push_back(static_cast<std::uint8_t>(u >> 24));
        buf_.push_back(static_cast<std::uint8_t>((u >> 16) & 0xff));
        buf_.push_back(static_cast<std::uint8_t>((u >> 8) & 0xff));
        buf_.push_back(static_cast<std::uint8_t>(u & 0xff));
    }
    Bytes buf_;
};

// Reads fields front to back. Every read checks the bytes that remain first;
// a failed read leaves the value untouched, returns false and makes every
// later read fail too, so a caller may check once after a run of reads.
class WireReader {
public:
    WireReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit WireReader(const Bytes& b) : WireReader(b.data(), b.size()) {}

    std::size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    std::size_t position() const { return pos_; }
    bool ok() const { return ok_; }

    bool Int32(std::int32_t& out) {
        std::uint32_t u = 0;
        if (!Raw32(u)) return false;
        out = static_cast<std::int32_t>(u);
        return true;
    }
    bool Int64(std::int64_t& out) {
        std::uint32_t hi = 0, lo = 0;
        if (!Raw32(hi) || !Raw32(lo)) return false;
        out = static_cast<std::int64_t>((static_cast<std::uint64_t>(hi) << 32) | lo);
        return true;
    }
    bool String(std::string& out) {
        if (!Need(2)) return false;
        const std::size_t n = (static_cast<std::size_t>(data_[pos_]) << 8) | data_[pos_ + 1];
        pos_ += 2;
        if (!Need(n)) return false;
        out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return true;
    }
    // A block's count comes from the peer: it is checked against the bytes
    // actually present before anything is copied or allocated.
    bool Block(const std::uint8_t*& ptr, std::size_t& n) {
        std::uint32_t count = 0;
        if (!Raw32(count)) return false;
        if (!Need(count)) return false;
        ptr = data_ + pos_;
        n = count;
        pos_ += count;
        return true;
    }
    bool Skip(std::size_t n) {
        if (!Need(n)) return false;
        pos_ += n;
        return true;
    }
    bool Expect(std::string_view raw) {
        if (!Need(raw.size())) return false;
        if (std::string_view(reinterpret_cast<const char*>(data_ + pos_), raw.size()) != raw)
            return Fail();
        pos_ += raw.size();
        return true;
    }
    // A reader over the next n bytes, which this reader then skips.
    bool Sub(std::size_t n, WireReader& out) {
        if (!Need(n)) return false;
        out = WireReader(data_ + pos_, n);
        pos_ += n;
        return true;
    }

private:
    bool Fail() { ok_ = false; return false; }
    bool Need(std::size_t n) {
        if (!ok_ || size_ - pos_ < n) return Fail();
        return true;
    }
    bool Raw32(std::uint32_t& u) {
        if (!Need(4)) return false;
        u = (static_cast<std::uint32_t>(data_[pos_]) << 24) |
            (static_cast<std::uint32_t>(data_[pos_ + 1]) << 16) |
            (static_cast<std::uint32_t>(data_[pos_ + 2]) << 8) |
            static_cast<std::uint32_t>(data_[pos_ + 3]);
        pos_ += 4;
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace phone_service
