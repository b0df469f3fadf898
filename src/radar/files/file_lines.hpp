// What each line of one file stands for: an event, a row left out, a bad
// line, or nothing (blank lines, a CSV header).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "files/file_read.hpp"
#include "files/json_line.hpp"
#include "files/line_reader.hpp"
#include "files/tardis.hpp"
#include "market/event.hpp"

namespace radar {

class FileLines {
public:
    FileLines(FileFormat format, std::string path, bool notional)
        : format_(format), path_(std::move(path)), notional_(notional) {}

    // For a reader that starts past the file's first line: the line that
    // tells the format and holds the header (see first_content_line) when it
    // comes before the reader's lines; empty when the reader meets it itself.
    void take_first_line(std::string_view first);

    enum class What : uint8_t { Nothing, Event, Skipped, Bad };
    // `message`: the reason a row was left out, or the bad line's error.
    What line(const Line& line, std::string_view& symbol, Event& event, std::string& message);

private:
    bool decide(std::string_view first, std::string& message);  // false: the header was refused

    FileFormat format_;
    std::string path_;
    bool notional_;
    bool decided_ = false;
    bool from_start_ = true;  // line 1 is the file's first line
    bool dead_ = false;  // its header was refused: the rest of the file says nothing
    std::optional<TardisTable> table_;
    JsonLineDecoder json_;
};

// The line that tells a file's format: its first non-blank line that is
// valid UTF-8 and not too long (trimmed, a leading byte-order mark dropped),
// and `at`, the offset it starts at; or empty, with `at` past any offset.
// False with `error` on a read failure.
bool first_content_line(const std::string& path, std::string& out, uint64_t& at, std::string& error);

}  // namespace radar
