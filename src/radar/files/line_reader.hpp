// The lines of a ByteSource, one at a time, through a bounded buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/byte_source.hpp"

namespace radar {

// The longest line read, not counting its terminator or a CR before it; a
// longer one is reported as such and skipped without being held in memory.
inline constexpr size_t kMaxLineBytes = size_t{16} << 20;

struct Line {
    std::string_view text;  // without its terminator; valid until the next call
    uint64_t number = 0;    // 1-based, counting every line of the range
    uint64_t start = 0;     // offset of its first byte in the content (plain files: in the file)
    bool too_long = false;  // text is then empty
};

class LineReader {
public:
    // `first_offset`: the content offset the source starts at.
    explicit LineReader(ByteSource& source, uint64_t first_offset = 0, size_t chunk = size_t{1} << 20);

    // 1 with `line` set, 0 at the end, -1 with `error` set. After an
    // interrupted read (the source's interrupted()), calling again goes on.
    int next(Line& line, std::string& error);
    // Drops everything up to and including the next line terminator: for a
    // range that starts inside a line that belongs to the range before.
    int skip_partial(std::string& error);

private:
    bool more(std::string& error);  // reads into the buffer; false on error
    int skip_long(Line& line, std::string& error);  // the rest of a line too long to hold

    ByteSource& source_;
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;
    size_t scanned_ = 0;  // bytes from begin_ known to hold no terminator
    bool eof_ = false;
    bool skipping_ = false;  // inside a line too long to hold
    uint64_t long_start_ = 0;
    uint64_t number_ = 0;
    uint64_t offset_;  // content offset of buf_[begin_]
    size_t chunk_;
};

// Removes the bytes JSON takes as whitespace from both ends.
std::string_view trim_json_space(std::string_view text);

}  // namespace radar
