#include "json/reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
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
    TreeBuilder(JsonDocument& doc, std::string_view text, ListDecoder* lists, ParallelRunner runner,
                int outer_levels = 0)
        : doc_(doc), text_(text), sc_(text), lists_(lists), runner_(runner) {
        if (outer_levels > 0) sc_.rewind(0, sc_.depth() - outer_levels);
    }

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

    // Reads members until the closing brace is next, or until the cursor
    // reaches `stop` (then `at_stop` tells whether it stopped exactly there,
    // between two members).
    bool read_members(Route route, bool& first, size_t stop = SIZE_MAX, bool* at_stop = nullptr) {
        auto& open = doc_.open_members_;
        for (;;) {
            if (sc_.index() >= stop) {
                *at_stop = sc_.index() == stop && !first;
                return true;
            }
            int r = sc_.next_member(first);
            if (r < 0) return false;
            if (r == 0) return true;
            JsonMember m;
            if (!read_string(m.key) || !sc_.colon()) return false;
            Route inner = Route::None;
            if (route == Route::Root && bytes_equal(m.key, "events")) inner = Route::Events;
            if (route == Route::Root && bytes_equal(m.key, "event")) inner = Route::Single;
            if (route == Route::EventsMap) inner = Route::List;
            if (!read_value(m.value, inner)) return false;
            open.push_back(m);
        }
    }

    // A large "events" object is read from both ends at once: this thread
    // reads up to a point that looks like the start of a member, while the
    // far half is read from there on another. When this thread then reaches
    // exactly that point between two members, the far half was read with
    // the very state this thread has there, and its members are taken;
    // otherwise (a bracket inside a string, or anything the far reader
    // doesn't handle: errors, escapes, events of other shapes) it is
    // dropped and this thread reads on as usual. Either way the result,
    // every error included, is the one a single reading gives.
    bool read_members_split(Route route, bool& first) {
        if (runner_ == nullptr || lists_ == nullptr || text_.size() - sc_.index() < kParallelReadFrom) {
            return read_members(route, first);
        }
        ListDecoder* far_lists = lists_->second();
        const size_t stop = split_point();
        if (far_lists == nullptr || stop == SIZE_MAX) return read_members(route, first);

        FarHalf far{text_, stop, sc_.depth(), far_lists, false, 0, {}};
        bool near_ok = false, at_stop = false;
        std::exception_ptr failure;
        auto task = [&](size_t i) {
            try {
                if (i == 0) {
                    near_ok = read_members(route, first, stop, &at_stop);
                } else {
                    far.read();
                }
            } catch (...) {
                if (i == 0) failure = std::current_exception();  // the far half is only an offer
                else far.usable = false;
            }
        };
        runner_(2, [](void* ctx, size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) (*static_cast<decltype(task)*>(ctx))(i);
        }, &task);
        if (failure) std::rethrow_exception(failure);
        if (!near_ok) return false;
        if (at_stop && far.usable) {
            const uint64_t shift = lists_->adopt_second();
            for (JsonMember m : far.members) {
                m.value.u_ += shift;
                doc_.open_members_.push_back(m);
            }
            sc_.rewind(far.end, sc_.depth());
        }
        return read_members(route, first);
    }

    // Where the far half starts: just after a ']' that is followed by ','
    // and a key, near the middle of what is left. SIZE_MAX when none.
    size_t split_point() const {
        const char* const base = text_.data();
        const size_t n = text_.size();
        // The byte at or after j that isn't whitespace, or -1 at the end.
        auto next_byte = [&](size_t& j) {
            while (j < n && (base[j] == ' ' || base[j] == '\n' || base[j] == '\t' || base[j] == '\r')) ++j;
            return j < n ? static_cast<unsigned char>(base[j]) : -1;
        };
        for (size_t i = sc_.index() + (n - sc_.index()) / 2; i < n;) {
            const void* hit = std::memchr(base + i, ']', n - i);
            if (hit == nullptr) return SIZE_MAX;
            const size_t after = static_cast<size_t>(static_cast<const char*>(hit) - base) + 1;
            size_t j = after;
            if (next_byte(j) == ',' && next_byte(++j) == '"') return after;
            i = after;
        }
        return SIZE_MAX;
    }

    // The far half of an "events" object: members whose values are lists
    // of events of the usual shapes, up to the object's closing brace.
    struct FarHalf {
        std::string_view text;
        size_t start;
        int depth;
        ListDecoder* lists;
        bool usable = false;
        size_t end = 0;
        std::vector<JsonMember> members;

        void read() {
            Scanner sc(text);
            sc.rewind(start, depth);
            bool first = false;
            for (;;) {
                const int r = sc.next_member(first);
                if (r < 0) return;
                if (r == 0) break;
                JsonMember m;
                if (!sc.parse_string(m.key) || sc.string_was_copied() || !sc.colon()) return;
                if (sc.skip_ws() != '[' || !sc.enter()) return;
                sc.eat();
                lists->begin_list();
                bool first_element = true;
                for (;;) {
                    const int e = sc.next_element(first_element);
                    if (e < 0) return;
                    if (e == 0) break;
                    if (!lists->try_element(sc)) return;
                }
                sc.eat();
                sc.leave();
                m.value = scalar(JsonValue::Kind::Array);
                m.value.b_ = true;
                m.value.u_ = lists->end_list();
                members.push_back(m);
            }
            end = sc.index();
            usable = true;
        }
    };

    bool read_object(JsonValue& out, Route route = Route::None) {
        if (!sc_.enter()) return false;
        sc_.eat();
        auto& open = doc_.open_members_;
        const size_t mark = open.size();
        bool first = true;
        if (!(route == Route::EventsMap ? read_members_split(route, first) : read_members(route, first))) return false;
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
    std::string_view text_;
    Scanner sc_;
    ListDecoder* lists_;
    ParallelRunner runner_;
};

bool JsonDocument::parse(std::string_view text, JsonError& error, ListDecoder* lists, ParallelRunner runner,
                         int outer_levels) {
    items_.clear();
    members_.clear();
    stack_.clear();
    open_members_.clear();
    unescaped_.clear();
    root_ = JsonValue();
    TreeBuilder builder(*this, text, lists, runner, outer_levels);
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
