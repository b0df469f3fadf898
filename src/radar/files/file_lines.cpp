#include "files/file_lines.hpp"

#include <memory>

#include "json/utf8.hpp"

namespace radar {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string utf8_error(size_t at) { return "line is not valid UTF-8 (column " + std::to_string(at) + ")"; }

// The text of a line as the readers see it.
std::string_view content_of(const Line& line, bool file_start) {
    std::string_view text = trim_json_space(line.text);
    if (file_start && line.number == 1 && text.starts_with(kBom)) text = trim_json_space(text.substr(kBom.size()));
    return text;
}

}  // namespace

bool FileLines::decide(std::string_view first, std::string& message) {
    decided_ = true;
    const bool tardis = format_ == FileFormat::Tardis ||
                        (format_ == FileFormat::Auto && looks_like_tardis_header(first));
    if (!tardis) return true;
    auto table = TardisTable::from_header(first, path_, notional_);
    if (!table) {
        message = table.error().message;
        dead_ = true;
        return false;
    }
    table_.emplace(std::move(table.value()));
    return true;
}

void FileLines::take_first_line(std::string_view first) {
    from_start_ = false;
    std::string unused;
    if (!first.empty()) decide(first, unused);
}

FileLines::What FileLines::line(const Line& line, std::string_view& symbol, Event& event, std::string& message) {
    if (dead_) return What::Nothing;
    if (line.too_long) {
        message = "line is longer than " + std::to_string(kMaxLineBytes) + " bytes";
        return What::Bad;
    }
    const std::string_view text = content_of(line, from_start_);
    if (text.empty()) return What::Nothing;
    if (const size_t at = invalid_utf8_at(text)) {
        message = utf8_error(at);
        return What::Bad;
    }
    if (!decided_) {
        if (!decide(text, message)) return What::Bad;
        if (table_) return What::Nothing;  // the header
    }
    if (!table_) return json_.decode(text, symbol, event, message) ? What::Event : What::Bad;
    switch (table_->row(text, symbol, event, message)) {
        case TardisTable::Row::Event: return What::Event;
        case TardisTable::Row::Skipped: return What::Skipped;
        case TardisTable::Row::Error: return What::Bad;
    }
    return What::Bad;
}

bool first_content_line(const std::string& path, std::string& out, uint64_t& at, std::string& error) {
    out.clear();
    at = UINT64_MAX;
    auto source = ByteSource::open(path, error);
    if (!source) return false;
    LineReader reader(*source, 0, size_t{1} << 16);
    Line line;
    for (;;) {
        const int r = reader.next(line, error);
        if (r < 0) return false;
        if (r == 0) return true;
        // A line refused for its length or bytes tells nothing in a whole
        // read, which decides on the next one: so do the ranges.
        if (line.too_long) continue;
        const std::string_view text = content_of(line, true);
        if (!text.empty() && invalid_utf8_at(text) == 0) {
            out.assign(text);
            at = line.start;
            return true;
        }
    }
}

}  // namespace radar
