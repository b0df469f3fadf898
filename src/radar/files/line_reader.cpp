#include "files/line_reader.hpp"

#include <algorithm>
#include <cstring>

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
    // Doubling, but never past the longest line and its terminator.
    if (end_ == buf_.size()) buf_.resize(std::max(buf_.size() + 1, std::min(buf_.size() * 2, kMaxLineBytes + 2)));
    size_t got = 0;
    if (!source_.read(buf_.data() + end_, buf_.size() - end_, got, error)) return false;
    if (got == 0) eof_ = true;
    end_ += got;
    return true;
}

int LineReader::next(Line& line, std::string& error) {
    if (skipping_) return skip_long(line, error);
    // A line may hold kMaxLineBytes and a CR before its terminator: the
    // terminator is looked for no further than that.
    constexpr size_t kLongest = kMaxLineBytes + 1;
    for (;;) {
        const char* base = buf_.data() + begin_;
        const size_t avail = end_ - begin_;
        const size_t window = std::min(avail, kLongest + 1);
        const void* nl = window > scanned_ ? std::memchr(base + scanned_, '\n', window - scanned_) : nullptr;
        const size_t len = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - base) : avail;
        const bool ends = nl != nullptr || (eof_ && avail > 0);
        const bool too_long = len > kLongest || (len == kLongest && base[kMaxLineBytes] != '\r');
        if (ends && !too_long) {
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
        if (eof_ && avail == 0) return 0;
        scanned_ = window;
        if (too_long) {
            // Too long to hold: report it and read on past its end.
            skipping_ = true;
            long_start_ = offset_;
            return skip_long(line, error);
        }
        if (!more(error)) return -1;
    }
}

int LineReader::skip_long(Line& line, std::string& error) {
    for (;;) {
        const void* at = std::memchr(buf_.data() + begin_, '\n', end_ - begin_);
        if (at != nullptr || eof_) {
            const size_t used = at != nullptr
                                    ? static_cast<size_t>(static_cast<const char*>(at) - (buf_.data() + begin_)) + 1
                                    : end_ - begin_;
            begin_ += used;
            offset_ += used;
            if (buf_.size() > 2 * chunk_) {
                std::vector<char> smaller(std::max(chunk_, end_ - begin_));
                std::memcpy(smaller.data(), buf_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
                buf_.swap(smaller);
            }
            skipping_ = false;
            scanned_ = 0;
            line.text = {};
            line.number = ++number_;
            line.start = long_start_;
            line.too_long = true;
            return 1;
        }
        offset_ += end_ - begin_;
        begin_ = end_ = 0;
        scanned_ = 0;
        // An interrupted read leaves the line half skipped: the next call goes on.
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


}  // namespace radar
