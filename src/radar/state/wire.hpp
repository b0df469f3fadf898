// Little-endian fields written and read one byte at a time, so the bytes
// never depend on the machine's layout or byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace radar {

class WireWriter {
public:
    explicit WireWriter(std::string& out) : out_(out) {}

    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
    void bytes(std::string_view s) { out_.append(s); }
    // Length, then the bytes.
    void text(std::string_view s) {
        u64(s.size());
        bytes(s);
    }

    size_t position() const { return out_.size(); }
    // Overwrites the u64 written at `pos`, for a length known only later.
    void patch_u64(size_t pos, uint64_t v) {
        for (int i = 0; i < 8; ++i) out_[pos + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }

private:
    // One append per field: a state is mostly 8-byte numbers.
    void le(uint64_t v, int n) {
        char b[8];
        for (int i = 0; i < n; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        out_.append(b, static_cast<size_t>(n));
    }
    std::string& out_;
};

// Reads from a span whose end is known; a read past it fails and leaves the
// field as it was, so callers check once per record.
class WireReader {
public:
    explicit WireReader(std::string_view in) : in_(in) {}

    size_t remaining() const { return in_.size() - pos_; }
    size_t position() const { return pos_; }

    bool u8(uint8_t& v) {
        uint64_t w;
        if (!le(w, 1)) return false;
        v = static_cast<uint8_t>(w);
        return true;
    }
    bool u16(uint16_t& v) {
        uint64_t w;
        if (!le(w, 2)) return false;
        v = static_cast<uint16_t>(w);
        return true;
    }
    bool u32(uint32_t& v) {
        uint64_t w;
        if (!le(w, 4)) return false;
        v = static_cast<uint32_t>(w);
        return true;
    }
    bool u64(uint64_t& v) { return le(v, 8); }
    bool i64(int64_t& v) {
        uint64_t w;
        if (!le(w, 8)) return false;
        v = static_cast<int64_t>(w);
        return true;
    }
    bool f64(double& v) {
        uint64_t w;
        if (!le(w, 8)) return false;
        v = std::bit_cast<double>(w);
        return true;
    }
    // A view of the next n bytes.
    bool bytes(size_t n, std::string_view& out) {
        if (n > remaining()) return false;
        out = in_.substr(pos_, n);
        pos_ += n;
        return true;
    }

private:
    bool le(uint64_t& v, int n) {
        if (remaining() < static_cast<size_t>(n)) return false;
        uint64_t w = 0;
        for (int i = 0; i < n; ++i) w |= uint64_t{static_cast<unsigned char>(in_[pos_ + i])} << (8 * i);
        pos_ += n;
        v = w;
        return true;
    }
    std::string_view in_;
    size_t pos_ = 0;
};

}  // namespace radar
