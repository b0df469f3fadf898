#include "json/value.hpp"

#include <algorithm>
#include <utility>

namespace radar {

JsonValue JsonValue::boolean(bool b) {
    JsonValue v;
    v.kind_ = Kind::Bool;
    v.b_ = b;
    return v;
}

JsonValue JsonValue::unsigned_number(uint64_t u) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.num_ = NumberKind::Unsigned;
    v.n_.u = u;
    return v;
}

JsonValue JsonValue::signed_number(int64_t i) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.num_ = NumberKind::Signed;
    v.n_.i = i;
    return v;
}

JsonValue JsonValue::double_number(double d) {
    JsonValue v;
    v.kind_ = Kind::Number;
    v.num_ = NumberKind::Double;
    v.n_.d = d;
    return v;
}

JsonValue JsonValue::string(std::string s) {
    JsonValue v;
    v.kind_ = Kind::String;
    v.str_ = std::move(s);
    return v;
}

JsonValue JsonValue::array(std::vector<JsonValue> items) {
    JsonValue v;
    v.kind_ = Kind::Array;
    v.items_ = std::move(items);
    return v;
}

JsonValue JsonValue::object(std::vector<JsonMember> members) {
    // Stable order keeps equal keys in text order, so the last one is the one
    // that survives de-duplication.
    auto less = [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; };
    if (!std::is_sorted(members.begin(), members.end(), less)) {
        if (members.size() <= 16) {
            for (size_t i = 1; i < members.size(); ++i) {
                for (size_t j = i; j > 0 && members[j].key < members[j - 1].key; --j) {
                    std::swap(members[j], members[j - 1]);
                }
            }
        } else {
            std::stable_sort(members.begin(), members.end(), less);
        }
    }
    size_t out = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i].key == members[i + 1].key) continue;
        if (out != i) members[out] = std::move(members[i]);
        ++out;
    }
    members.resize(out);
    JsonValue v;
    v.kind_ = Kind::Object;
    v.members_ = std::move(members);
    return v;
}

double JsonValue::to_f64() const {
    switch (num_) {
        case NumberKind::Unsigned: return static_cast<double>(n_.u);
        case NumberKind::Signed: return static_cast<double>(n_.i);
        case NumberKind::Double: return n_.d;
    }
    return n_.d;
}

const JsonValue* JsonValue::find(std::string_view key) const {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const JsonMember& m, std::string_view k) { return std::string_view(m.key) < k; });
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

}  // namespace radar
