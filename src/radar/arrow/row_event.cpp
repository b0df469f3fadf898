#include "arrow/row_event.hpp"

#include <cmath>

#include "json/members.hpp"
#include "json/utf8.hpp"
#include "market/event_read.hpp"

namespace radar::arrow {

namespace {

bool kind_named(std::string_view name, Event::Kind& out) {
    for (size_t k = 0; k < 3; ++k) {
        if (name == kKindFields[k].name) {
            out = static_cast<Event::Kind>(k);
            return true;
        }
    }
    return false;
}

std::string describe(const Cell& c) {
    switch (c.kind) {
        case Cell::Absent: return "null";
        case Cell::Bool: return c.b ? "boolean `true`" : "boolean `false`";
        case Cell::Unsigned: return describe_unsigned(c.u);
        case Cell::Signed: return describe_signed(c.i);
        case Cell::Double:
            // no JSON text holds these; said as a reader of doubles would
            if (std::isnan(c.d)) return "floating point `NaN`";
            if (std::isinf(c.d)) return c.d > 0 ? "floating point `inf`" : "floating point `-inf`";
            return describe_double(c.d);
        case Cell::String: return describe_string(c.s);
    }
    return "";
}

std::string utf8_error(std::string_view text) {
    return "symbol is not valid UTF-8 (byte " + std::to_string(invalid_utf8_at(text)) + ")";
}

// The buffers a column of this type has, the validity bitmap counted.
// The buffers an array of the type has. A producer whose batches are not of
// their schema's types (a string column under an int64 schema) is refused
// here, not read past the ends of its buffers.
bool buffers_fit(Type type, int64_t n) {
    switch (type) {
        case Type::Null: return true;  // nothing of it is read
        case Type::Utf8:
        case Type::LargeUtf8: return n == 3;
        case Type::Utf8View: return n >= 3;  // views, data buffers, then their sizes
        default: return n == 2;
    }
}

}  // namespace

Field TableLayout::lacking(Event::Kind k) const {
    const KindFields& kf = kKindFields[static_cast<size_t>(k)];
    for (size_t j = 0; j < kf.count; ++j)
        if (column[kf.fields[j]] < 0) return kf.fields[j];
    return kFieldCount;
}

bool bind_layout(const ArrowSchema& schema, const std::array<std::string, kFieldCount>& names,
                 std::optional<Event::Kind> kind, TableLayout& out, LayoutError& error) {
    out = TableLayout{};
    out.kind = kind;
    const std::string_view format = schema.format ? schema.format : "";
    if (format != "+s") {
        error.message = "the data is not a table of columns (Arrow format \"" + std::string(format) + "\")";
        return false;
    }
    for (int64_t c = 0; c < schema.n_children; ++c) {
        const char* name = schema.children[c]->name;
        out.names.emplace_back(name ? name : "");
    }
    for (size_t f = 0; f < kFieldCount; ++f) {
        if (f == kKind && kind) continue;  // every row's kind is given: a kind column is not read
        for (size_t c = 0; c < out.names.size(); ++c) {
            if (out.names[c] != names[f]) continue;
            if (out.column[f] >= 0) {
                error.message = "the table has two columns named \"" + names[f] + "\"";
                return false;
            }
            out.column[f] = static_cast<int64_t>(c);
        }
        if (out.column[f] < 0) continue;
        std::string why;
        auto type = column_type(*schema.children[out.column[f]], why);
        if (!type) {
            error.message = "column \"" + names[f] + "\" is " + why + ", which holds no " +
                            std::string(kFieldNames[f]) + " the radar reads";
            return false;
        }
        out.types[f] = *type;
    }
    for (Field f : {kSymbol, kKind, kTs}) {
        if (f == kKind && kind) continue;
        if (out.column[f] < 0) {
            error.missing = names[f];
            return false;
        }
    }
    if (kind) {
        const Field f = out.lacking(*kind);
        if (f != kFieldCount) {
            error.missing = names[f];
            error.needed_by = kKindFields[static_cast<size_t>(*kind)].name;
            return false;
        }
    }
    for (size_t c = 0; c < out.names.size(); ++c)
        for (size_t f = kKind; f < kFieldCount; ++f)
            if (out.column[f] == static_cast<int64_t>(c)) out.members.push_back(static_cast<Field>(f));
    return true;
}

bool BatchColumns::bind(const TableLayout& layout, const ArrowArray& batch, std::string& error) {
    length = batch.length;
    for (size_t f = 0; f < kFieldCount; ++f) {
        ColumnView& v = views[f];
        v = ColumnView{};
        const int64_t c = layout.column[f];
        if (c < 0) {
            v.all_null = true;
            continue;
        }
        if (c >= batch.n_children || batch.children[c] == nullptr) {
            error = "a batch has " + std::to_string(batch.n_children) + " columns, fewer than its schema";
            return false;
        }
        const ArrowArray* a = batch.children[c];
        const ColumnType& t = layout.types[f];
        const bool fits = t.dictionary ? buffers_fit(t.index, a->n_buffers) && a->dictionary != nullptr &&
                                             buffers_fit(t.type, a->dictionary->n_buffers)
                                       : buffers_fit(t.type, a->n_buffers);
        if (a->length < batch.offset + batch.length || !fits) {
            error = "column \"" + layout.names[static_cast<size_t>(c)] + "\" of a batch does not match its type";
            return false;
        }
        v.bind(t, a, batch.offset);
    }
    return true;
}

bool RowSource::type_error(std::string_view expected) { return fail(invalid_type(describe(*cur_), expected)); }

bool RowSource::read_i64(int64_t& out, std::string_view expected) {
    switch (cur_->kind) {
        case Cell::Unsigned:
            if (cur_->u > static_cast<uint64_t>(INT64_MAX)) return fail(invalid_value(describe_unsigned(cur_->u), expected));
            out = static_cast<int64_t>(cur_->u);
            return true;
        case Cell::Signed: out = cur_->i; return true;
        default: return type_error(expected);
    }
}

bool RowSource::read_f64(double& out, std::string_view expected) {
    switch (cur_->kind) {
        case Cell::Unsigned: out = static_cast<double>(cur_->u); return true;
        case Cell::Signed: out = static_cast<double>(cur_->i); return true;
        case Cell::Double:
            // a "feed" command cannot carry them: JSON has no such numbers
            if (!std::isfinite(cur_->d)) return fail(invalid_value(describe(*cur_), expected));
            out = cur_->d;
            return true;
        default: return type_error(expected);
    }
}

bool RowReader::read_plain(const BatchColumns& batch, int64_t row, std::string_view& symbol, Event& event,
                           std::optional<Event::Kind>& kind) {
    const Cell sym = batch.views[kSymbol].cell(row);
    if (sym.kind != Cell::String) return false;
    Event::Kind k;
    if (layout_.kind) {
        k = *layout_.kind;
    } else {
        const Cell named = batch.views[kKind].cell(row);
        if (named.kind != Cell::String || !kind_named(named.s, k)) return false;
    }
    kind = k;
    const Cell t = batch.views[kTs].cell(row);
    if (t.kind == Cell::Unsigned && t.u <= static_cast<uint64_t>(INT64_MAX)) {
        event.ts = static_cast<int64_t>(t.u);
    } else if (t.kind == Cell::Signed) {
        event.ts = t.i;
    } else {
        return false;
    }
    event.kind = k;
    event.side = Side::Buy;
    event.f[0] = event.f[1] = event.f[2] = event.f[3] = 0;
    const KindFields& kf = kKindFields[static_cast<size_t>(k)];
    const bool liquidation = k == Event::Kind::Liquidation;
    for (size_t j = 0; j < kf.count; ++j) {
        const Cell c = batch.views[kf.fields[j]].cell(row);
        if (liquidation && j == 0) {
            if (c.kind != Cell::String) return false;
            if (c.s == "buy") {
                event.side = Side::Buy;
            } else if (c.s == "sell") {
                event.side = Side::Sell;
            } else {
                return false;
            }
            continue;
        }
        double v;
        switch (c.kind) {
            case Cell::Unsigned: v = static_cast<double>(c.u); break;
            case Cell::Signed: v = static_cast<double>(c.i); break;
            case Cell::Double:
                if (!std::isfinite(c.d)) return false;
                v = c.d;
                break;
            default: return false;
        }
        event.f[liquidation ? j - 1 : j] = v;
    }
    if (invalid_utf8_at(sym.s) != 0) return false;
    symbol = sym.s;
    return true;
}

RowReader::What RowReader::read(const BatchColumns& batch, int64_t row, std::string_view& symbol, Event& event,
                                std::string& error, Field& missing) {
    std::optional<Event::Kind> kind;
    if (read_plain(batch, row, symbol, event, kind)) return What::Event;
    members_.clear();
    if (layout_.kind) {
        Cell named;
        named.kind = Cell::String;
        named.s = kKindFields[static_cast<size_t>(*layout_.kind)].name;
        members_.push_back({"kind", named});
    }
    for (Field f : layout_.members) {
        const Cell c = batch.views[f].cell(row);
        if (c.kind != Cell::Absent) members_.push_back({kFieldNames[f], c});
    }
    // A row of a kind whose columns the table lacks is the table's fault, not the row's.
    if (!kind) {
        Event::Kind k;
        const Cell named = batch.views[kKind].cell(row);
        if (layout_.kind) {
            kind = layout_.kind;
        } else if (named.kind == Cell::String && kind_named(named.s, k)) {
            kind = k;
        }
    }
    if (kind) {
        missing = layout_.lacking(*kind);
        if (missing != kFieldCount) return What::Missing;
    }
    const Cell sym = batch.views[kSymbol].cell(row);
    if (sym.kind != Cell::String) {
        error = missing_string_field("symbol").render();
        return What::Bad;
    }
    if (invalid_utf8_at(sym.s) != 0) {
        error = utf8_error(sym.s);
        return What::Bad;
    }
    RowSource source(members_);
    if (!event_read::read_event(source, event)) {
        error = RadarError::parse(source.error_message()).render();
        return What::Bad;
    }
    symbol = sym.s;
    return What::Event;
}

}  // namespace radar::arrow
