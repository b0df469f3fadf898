// Checks shared by the fuzz targets: every response is one of the documented
// shapes, and a failed command leaves the handle's data as it was.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "json/value.hpp"
#include "protocol/handle.hpp"

namespace fuzzcheck {

[[noreturn]] inline void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

inline bool is_alert_list(const radar::JsonValue& v) {
    const radar::JsonValue* alerts = v.find("alerts");
    const radar::JsonValue* scanned = v.find("scanned");
    if (v.members().size() != 2 || !alerts || !alerts->is_array() || !scanned) return false;
    if (scanned->kind() != radar::JsonValue::Kind::Number) return false;
    for (const radar::JsonValue& a : alerts->items()) {
        if (!a.is_object() || a.members().size() != 4) return false;
        const radar::JsonValue* factors = a.find("factors");
        if (!a.find("symbol") || !a.find("symbol")->is_string() || !factors || !factors->is_object()) return false;
        if (factors->members().empty() || factors->members().back().key != "severity") return false;
    }
    return true;
}

// Returns true when the response reports success.
inline bool check_response(std::string_view response) {
    if (!valid_utf8(response)) fail("response is not UTF-8", response);
    static radar::JsonDocument doc;
    radar::JsonError e;
    if (!doc.parse(response, e)) fail("response is not JSON", response);
    const radar::JsonValue& v = doc.root();
    if (!v.is_object()) fail("response is not an object", response);
    if (response == R"({"ok":true})" || response == R"({"version":"0.1.3"})") return true;
    if (const radar::JsonValue* ok = v.find("ok")) {
        const radar::JsonValue* err = v.find("error");
        if (v.members().size() != 2 || !err || !err->is_string() || ok->kind() != radar::JsonValue::Kind::Bool ||
            ok->as_bool())
            fail("malformed error response", response);
        std::string_view m = err->as_string();
        if (m.substr(0, 7) != "parse: " && m.substr(0, 10) != "bad spec: ") fail("unprefixed error", response);
        return false;
    }
    if (!is_alert_list(v)) fail("unknown response shape", response);
    return true;
}

inline std::string alerts_of(radar::Handle& h) { return radar::run_command(h, R"({"cmd":"alerts"})"); }

// Runs one command and checks it; a failure must leave "alerts" unchanged.
inline bool run_checked(radar::Handle& h, std::string_view command) {
    std::string before = alerts_of(h);
    std::string response = radar::run_command(h, command);
    bool ok = check_response(response);
    if (!ok && alerts_of(h) != before) fail("failed command changed the data", command);
    return ok;
}

}  // namespace fuzzcheck
