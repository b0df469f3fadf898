#include "protocol/lifecycle.hpp"

#include <utility>

#include "json/members.hpp"
#include "json/writer.hpp"
#include "protocol/responses.hpp"

namespace radar {

std::string version_command() {
    std::string out = R"({"version":)";
    append_json_string(out, kVersion);
    out.push_back('}');
    return out;
}

std::string reset_command(Handle& handle) {
    handle.dataset.clear();
    return ok_response();
}

Result<std::string> set_spec_command(Handle& handle, const JsonValue& command) {
    Result<const JsonValue*> member = require_field(command, "spec");
    if (!member) return std::move(member.error());
    Result<RadarSpec> spec = RadarSpec::from_json_value(*member.value());
    if (!spec) return std::move(spec.error());
    if (auto invalid = spec.value().validate()) return std::move(*invalid);
    handle.spec = std::move(spec.value());
    handle.dataset.clear();
    return ok_response();
}

}  // namespace radar
