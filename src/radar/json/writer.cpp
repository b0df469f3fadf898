#include "json/writer.hpp"

#include <array>

namespace radar {

namespace {

constexpr std::array<uint8_t, 256> make_escapes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
constexpr std::array<uint8_t, 256> kEscapes = make_escapes();

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    size_t plain = 0;
    while (plain < s.size() && !kEscapes[static_cast<unsigned char>(s[plain])]) ++plain;
    if (plain == s.size()) {  // the usual case: nothing to escape
        out.append(s);
        out.push_back('"');
        return;
    }
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        uint8_t esc = kEscapes[static_cast<unsigned char>(s[i])];
        if (!esc) continue;
        out.append(s.data() + start, i - start);
        out.push_back('\\');
        out.push_back(static_cast<char>(esc));
        if (esc == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            unsigned char c = static_cast<unsigned char>(s[i]);
            out.append("00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
        start = i + 1;
    }
    out.append(s.data() + start, s.size() - start);
    out.push_back('"');
}

}  // namespace radar
