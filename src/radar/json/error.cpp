#include "json/error.hpp"

#include "json/number_text.hpp"

namespace radar {

std::string JsonError::to_text() const {
    if (line == 0) return message;
    std::string out = message;
    out.append(" at line ");
    append_u64(out, line);
    out.append(" column ");
    append_u64(out, column);
    return out;
}

std::string RadarError::render() const {
    std::string out = kind == ErrorKind::Parse ? "parse: " : "bad spec: ";
    out.append(message);
    return out;
}

}  // namespace radar
