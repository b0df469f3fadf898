#include "json/value.hpp"

#include <algorithm>

#include "json/bytes.hpp"

namespace radar {

double JsonValue::to_f64() const {
    switch (num_) {
        case NumberKind::Unsigned: return static_cast<double>(u_);
        case NumberKind::Signed: return static_cast<double>(i_);
        case NumberKind::Double: return d_;
    }
    return d_;
}

const JsonValue* JsonValue::find(std::string_view key) const {
    auto m = members();
    if (m.size() <= 8) {  // a command's own members: lengths mostly differ, so this rarely compares bytes
        for (const JsonMember& member : m) {
            if (bytes_equal(member.key, key)) return &member.value;
        }
        return nullptr;
    }
    auto it = std::lower_bound(m.begin(), m.end(), key, [](const JsonMember& a, std::string_view k) { return bytes_less(a.key, k); });
    if (it != m.end() && bytes_equal(it->key, key)) return &it->value;
    return nullptr;
}

}  // namespace radar
