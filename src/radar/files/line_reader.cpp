#include "files/line_reader.hpp"

#include <cstring>

#include "portable.hpp"
#if RADAR_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace radar {

LineReader::LineReader(ByteSource& source, uint64_t first_offset, size_t chunk)
    : source_(source), offset_(first_offset), chunk_(chunk) {
    buf_.resize(chunk_);
}

bool LineReader::more(std::string& error) {
    if (begin_ > 0) {
        // Keep the unfinished line at the front of the buffer.
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
    size_t got = 0;
    if (!source_.read(buf_.data() + end_, buf_.size() - end_, got, error)) return false;
    if (got == 0) eof_ = true;
    end_ += got;
    return true;
}

int LineReader::next(Line& line, std::string& error) {
    for (;;) {
        const char* base = buf_.data() + begin_;
        const size_t avail = end_ - begin_;
        const void* nl = avail > scanned_ ? std::memchr(base + scanned_, '\n', avail - scanned_) : nullptr;
        if (nl != nullptr || (eof_ && avail > 0)) {
            const size_t len = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - base) : avail;
            line.text = std::string_view(base, len);
            line.number = ++number_;
            line.start = offset_;
            line.too_long = false;
            const size_t used = nl != nullptr ? len + 1 : len;
            begin_ += used;
            offset_ += used;
            scanned_ = 0;
            return 1;
        }
        if (eof_) return 0;
        scanned_ = avail;
        if (avail >= kMaxLineBytes) {
            // Too long to hold: report it and read on past its end.
            line.text = {};
            line.number = ++number_;
            line.start = offset_;
            line.too_long = true;
            for (;;) {
                offset_ += end_ - begin_;
                begin_ = end_ = 0;
                scanned_ = 0;
                if (!more(error)) return -1;
                if (end_ == 0) return 1;
                const void* at = std::memchr(buf_.data(), '\n', end_);
                if (at != nullptr) {
                    const size_t used = static_cast<size_t>(static_cast<const char*>(at) - buf_.data()) + 1;
                    begin_ = used;
                    offset_ += used;
                    if (buf_.size() > 2 * chunk_) {
                        std::vector<char> smaller(std::max(chunk_, end_ - begin_));
                        std::memcpy(smaller.data(), buf_.data() + begin_, end_ - begin_);
                        end_ -= begin_;
                        begin_ = 0;
                        buf_.swap(smaller);
                    }
                    return 1;
                }
            }
        }
        if (!more(error)) return -1;
    }
}

int LineReader::skip_partial(std::string& error) {
    for (;;) {
        const void* nl = std::memchr(buf_.data() + begin_, '\n', end_ - begin_);
        if (nl != nullptr) {
            const size_t used = static_cast<size_t>(static_cast<const char*>(nl) - (buf_.data() + begin_)) + 1;
            begin_ += used;
            offset_ += used;
            return 1;
        }
        offset_ += end_ - begin_;
        begin_ = end_ = 0;
        if (eof_) return 0;
        if (!more(error)) return -1;
        if (end_ == 0) return 0;
    }
}

std::string_view trim_json_space(std::string_view text) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = text.size();
    while (b < e && space(text[b])) ++b;
    while (e > b && space(text[e - 1])) --e;
    return text.substr(b, e - b);
}

size_t invalid_utf8_at(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    // ASCII sixteen bytes (or a word) at a time: nearly every line is all ASCII.
#if RADAR_HAVE_SSE2
    while (i + 16 <= n) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(block) != 0) break;
        i += 16;
    }
#endif
    while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n) {
        const unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i + 1;
        }
        if (i + len > n) return i + 1;
        if (s[i + 1] < lo || s[i + 1] > hi) return i + 1;
        for (size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return i + 1;
        i += len;
    }
    return 0;
}

}  // namespace radar
