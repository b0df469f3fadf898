#include "json/reader.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "json/bytes.hpp"
#include "json/scanner.hpp"

namespace radar {

// Parses into the document's scratch stacks; a closing bracket moves its
// children into one contiguous run. Children are located by offset while the
// runs may still move and become pointers once the text is read.
class TreeBuilder {
public:
    TreeBuilder(JsonDocument& doc, std::string_view text, ListDecoder* lists)
        : doc_(doc), sc_(text), lists_(lists) {}

    bool read_document() {
        JsonValue root;
        if (!read_value(root, lists_ ? Route::Root : Route::None) || !sc_.finish()) return false;
        doc_.root_ = root;
        fix_up();
        return true;
    }
    JsonError take_error() { return sc_.take_error(); }

private:
    // Where a value sits, as far as the list decoder cares.
    enum class Route : uint8_t { None, Root, Events, EventsMap, List, Single };

    static JsonValue scalar(JsonValue::Kind kind) {
        JsonValue v;
        v.kind_ = kind;
        return v;
    }

    bool read_value(JsonValue& out, Route route = Route::None) {
        if (route == Route::Single) {
            const size_t at = sc_.index();
            const int depth = sc_.depth();
            uint64_t id;
            if (lists_->try_single(sc_, id)) {
                out = scalar(JsonValue::Kind::Array);
                out.b_ = true;
                out.u_ = id;
                return true;
            }
            sc_.rewind(at, depth);
        }
        int b = sc_.skip_ws();
        switch (b) {
            case -1: return sc_.peek_error(JsonCode::EofWhileParsingValue);
            case 'n':
                sc_.eat();
                out = scalar(JsonValue::Kind::Null);
                return sc_.parse_ident("ull");
            case 't':
                sc_.eat();
                out = scalar(JsonValue::Kind::Bool);
                out.b_ = true;
                return sc_.parse_ident("rue");
            case 'f':
                sc_.eat();
                out = scalar(JsonValue::Kind::Bool);
                return sc_.parse_ident("alse");
            case '-':
                sc_.eat();
                return read_number(false, out);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return read_number(true, out);
            case '"': {
                sc_.eat();
                std::string_view s;
                if (!read_string(s)) return false;
                out = scalar(JsonValue::Kind::String);
                out.s_ = s.data();
                out.len_ = s.size();
                return true;
            }
            case '[': return route == Route::Events || route == Route::List ? read_list(out) : read_array(out);
            case '{': return read_object(out, route == Route::Events ? Route::EventsMap : route);
            default: return sc_.peek_error(JsonCode::ExpectedSomeValue);
        }
    }

    bool read_number(bool positive, JsonValue& out) {
        ParsedNumber n;
        if (!sc_.parse_number(positive, n)) return false;
        out = scalar(JsonValue::Kind::Number);
        out.num_ = n.kind;
        switch (n.kind) {
            case JsonValue::NumberKind::Unsigned: out.u_ = n.u; break;
            case JsonValue::NumberKind::Signed: out.i_ = n.i; break;
            case JsonValue::NumberKind::Double: out.d_ = n.d; break;
        }
        return true;
    }

    // A view into the text, or into a copy when escapes had to be decoded.
    bool read_string(std::string_view& out) {
        if (!sc_.parse_string(out)) return false;
        if (sc_.string_was_copied()) out = doc_.unescaped_.emplace_back(out);
        return true;
    }

    bool read_array(JsonValue& out) {
        if (!sc_.enter()) return false;
        sc_.eat();
        auto& stack = doc_.stack_;
        const size_t mark = stack.size();
        bool first = true;
        for (;;) {
            int r = sc_.next_element(first);
            if (r < 0) return false;
            if (r == 0) break;
            JsonValue item;
            if (!read_value(item)) return false;
            stack.push_back(item);
        }
        sc_.eat();
        sc_.leave();
        out = scalar(JsonValue::Kind::Array);
        out.u_ = doc_.items_.size();  // offset until fix_up
        out.len_ = stack.size() - mark;
        doc_.items_.insert(doc_.items_.end(), stack.begin() + static_cast<ptrdiff_t>(mark), stack.end());
        stack.resize(mark);
        return true;
    }

    // An array whose elements go to the list decoder one by one; each
    // element's storage is taken back as soon as it was decoded.
    bool read_list(JsonValue& out) {
        if (!sc_.enter()) return false;
        sc_.eat();
        lists_->begin_list();
        bool first = true;
        for (;;) {
            int r = sc_.next_element(first);
            if (r < 0) return false;
            if (r == 0) break;
            const size_t at = sc_.index();
            const int depth = sc_.depth();
            if (lists_->try_element(sc_)) continue;
            sc_.rewind(at, depth);
            const size_t items = doc_.items_.size(), members = doc_.members_.size();
            const size_t unescaped = doc_.unescaped_.size();
            JsonValue item;
            if (!read_value(item)) return false;
            fix(item);
            for (size_t k = items; k < doc_.items_.size(); ++k) fix(doc_.items_[k]);
            for (size_t k = members; k < doc_.members_.size(); ++k) fix(doc_.members_[k].value);
            lists_->element(item);
            doc_.items_.resize(items);
            doc_.members_.resize(members);
            doc_.unescaped_.resize(unescaped);
        }
        sc_.eat();
        sc_.leave();
        out = scalar(JsonValue::Kind::Array);
        out.b_ = true;
        out.u_ = lists_->end_list();
        return true;
    }

    bool read_object(JsonValue& out, Route route = Route::None) {
        if (!sc_.enter()) return false;
        sc_.eat();
        auto& open = doc_.open_members_;
        const size_t mark = open.size();
        bool first = true;
        for (;;) {
            int r = sc_.next_member(first);
            if (r < 0) return false;
            if (r == 0) break;
            JsonMember m;
            if (!read_string(m.key) || !sc_.colon()) return false;
            Route inner = Route::None;
            if (route == Route::Root && bytes_equal(m.key, "events")) inner = Route::Events;
            if (route == Route::Root && bytes_equal(m.key, "event")) inner = Route::Single;
            if (route == Route::EventsMap) inner = Route::List;
            if (!read_value(m.value, inner)) return false;
            open.push_back(m);
        }
        sc_.eat();
        sc_.leave();
        const size_t count = sort_unique(open.begin() + static_cast<ptrdiff_t>(mark), open.end());
        out = scalar(JsonValue::Kind::Object);
        out.u_ = doc_.members_.size();  // offset until fix_up
        out.len_ = count;
        doc_.members_.insert(doc_.members_.end(), open.begin() + static_cast<ptrdiff_t>(mark),
                             open.begin() + static_cast<ptrdiff_t>(mark + count));
        open.resize(mark);
        return true;
    }

    // Sorts by key keeping equal keys in text order, then keeps the last of
    // each run of equal keys. Returns how many members remain at the front.
    template <class It>
    static size_t sort_unique(It first_it, It last_it) {
        const size_t n = static_cast<size_t>(last_it - first_it);
        if (n < 2) return n;
        JsonMember* const first = std::to_address(first_it);
        bool duplicates = false;
        if (n <= 16) {
            // Insertion sort: stable, and one comparison per member when the
            // text already has its keys in order.
            for (size_t i = 1; i < n; ++i) {
                int c = compare_bytes(first[i - 1].key, first[i].key);
                if (c <= 0) {
                    duplicates |= c == 0;
                    continue;
                }
                JsonMember m = first[i];
                size_t j = i;
                do {
                    first[j] = first[j - 1];
                    --j;
                } while (j > 0 && (c = compare_bytes(first[j - 1].key, m.key)) > 0);
                duplicates |= j > 0 && c == 0;
                first[j] = m;
            }
        } else {
            std::stable_sort(first, first + n,
                             [](const JsonMember& a, const JsonMember& b) { return bytes_less(a.key, b.key); });
            duplicates = true;  // checked below
        }
        if (!duplicates) return n;
        size_t out = 0;
        for (size_t i = 0; i < n; ++i) {
            if (i + 1 < n && bytes_equal(first[i].key, first[i + 1].key)) continue;
            first[out++] = first[i];
        }
        return out;
    }

    void fix(JsonValue& v) {
        if (v.is_decoded_list()) return;
        if (v.kind_ == JsonValue::Kind::Array) {
            v.items_ = doc_.items_.data() + v.u_;
        } else if (v.kind_ == JsonValue::Kind::Object) {
            v.members_ = doc_.members_.data() + v.u_;
        }
    }
    void fix_up() {
        fix(doc_.root_);
        for (JsonValue& v : doc_.items_) fix(v);
        for (JsonMember& m : doc_.members_) fix(m.value);
    }

    JsonDocument& doc_;
    Scanner sc_;
    ListDecoder* lists_;
};

bool JsonDocument::parse(std::string_view text, JsonError& error, ListDecoder* lists) {
    items_.clear();
    members_.clear();
    stack_.clear();
    open_members_.clear();
    unescaped_.clear();
    root_ = JsonValue();
    TreeBuilder builder(*this, text, lists);
    if (builder.read_document()) return true;
    error = builder.take_error();
    return false;
}

void JsonDocument::trim() {
    // About 2 MB of values stays; beyond that a huge command gives its memory back.
    constexpr size_t kKeep = size_t{1} << 16;
    auto release = [](auto& v) {
        if (v.capacity() > kKeep) std::remove_reference_t<decltype(v)>().swap(v);
    };
    release(items_);
    release(members_);
    release(stack_);
    release(open_members_);
    unescaped_.clear();
    unescaped_.shrink_to_fit();
}

}  // namespace radar
