// One table row as the symbol and event it stands for, judged as the "feed"
// command of that symbol and event would be: the row is an object whose
// members are its cells that are not null, read by the same event reader
// as every "feed" command (event_read.hpp), so it is refused for the same
// reasons in the same words.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/columns.hpp"
#include "json/describe.hpp"
#include "json/source.hpp"
#include "market/event.hpp"

namespace radar::arrow {

// Which column holds which field, from the table's schema.
struct TableLayout {
    std::array<int64_t, kFieldCount> column;  // child index, or -1 when the table has none
    std::array<ColumnType, kFieldCount> types{};
    std::optional<Event::Kind> kind;  // every row's kind, when given instead of a column
    // The event's members as a row holds them: the fields it has, in column order.
    std::vector<Field> members;
    std::vector<std::string> names;  // every column's, in order

    TableLayout() { column.fill(-1); }
    // The first field `kind` needs that the table lacks, or kFieldCount.
    Field lacking(Event::Kind kind) const;
};

// What binding a schema found wrong: a column the scan cannot do without
// (`missing`, with the kind that needs it, or empty when every row does),
// or a fault of the table itself (`message`).
struct LayoutError {
    std::string missing;  // the table's name for it
    std::string needed_by;
    std::string message;
};

// `names[f]`: the table's name for field f. `kind`: every row's kind,
// when the table has no kind column.
bool bind_layout(const ArrowSchema& schema, const std::array<std::string, kFieldCount>& names,
                 std::optional<Event::Kind> kind, TableLayout& out, LayoutError& error);

// The columns of one batch, ready to read.
struct BatchColumns {
    std::array<ColumnView, kFieldCount> views{};
    int64_t length = 0;
    // false with `error` when the batch does not match the schema
    bool bind(const TableLayout& layout, const ArrowArray& batch, std::string& error);
};

// The row as the source the event reader walks: an object of its members.
class RowSource {
public:
    struct Member {
        std::string_view key;
        Cell cell;
    };
    struct Compound {
        Form form = Form::Map;
        size_t next = 0;
    };

    explicit RowSource(const std::vector<Member>& members) : members_(members) {}

    const std::string& error_message() const { return error_; }

    bool begin_any(Compound& c, std::string_view) {
        c.form = Form::Map;
        c.next = 0;
        return true;
    }
    int next_key(Compound& c, std::string_view& key) {
        if (c.next >= members_.size()) return 0;
        key = members_[c.next++].key;
        return 1;
    }
    bool member_value(Compound& c) {
        cur_ = &members_[c.next - 1].cell;
        return true;
    }
    bool skip_member(Compound&) { return true; }
    void rewind(Compound& c) { c.next = 0; }
    int next_element(Compound&) { return 0; }  // a row is never an array
    bool skip_value() { return true; }
    bool end(Compound&) { return true; }
    bool fail_in(Compound&, std::string_view message) { return fail(message); }
    bool fail_here(std::string_view message) { return fail(message); }

    bool read_identifier(std::string_view& out, std::string_view expected = "variant identifier") {
        if (cur_->kind != Cell::String) return type_error(expected);
        out = cur_->s;
        return true;
    }
    bool read_i64(int64_t& out, std::string_view expected = "i64");
    bool read_f64(double& out, std::string_view expected = "f64");

    bool begin_enum(Compound& c) {
        if (cur_->kind != Cell::String) return type_error("string or map");
        c.form = Form::Str;
        return true;
    }
    bool variant_name(Compound&, std::string_view& name) {
        name = cur_->s;
        return true;
    }
    bool variant_unit(Compound&, bool) { return true; }
    bool end_enum(Compound&) { return true; }

private:
    bool fail(std::string_view message) {
        error_.assign(message);
        return false;
    }
    bool type_error(std::string_view expected);

    const std::vector<Member>& members_;
    const Cell* cur_ = nullptr;
    std::string error_;
};

class RowReader {
public:
    explicit RowReader(const TableLayout& layout) : layout_(layout) {}

    enum class What : uint8_t { Event, Bad, Missing };
    // Event: `symbol` (a view into the batch) and `event` set. Bad: `error`
    // is the radar's error. Missing: the row's kind needs field `missing`,
    // which the table lacks.
    What read(const BatchColumns& batch, int64_t row, std::string_view& symbol, Event& event, std::string& error,
              Field& missing);

private:
    // The usual row, decided without building its members; false leaves it to the general path.
    bool read_plain(const BatchColumns& batch, int64_t row, std::string_view& symbol, Event& event,
                    std::optional<Event::Kind>& kind);

    const TableLayout& layout_;
    std::vector<RowSource::Member> members_;
};

}  // namespace radar::arrow
