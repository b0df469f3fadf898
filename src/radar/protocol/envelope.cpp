#include <string>
#include <utility>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "market/commands.hpp"
#include "protocol/handle.hpp"
#include "protocol/lifecycle.hpp"
#include "protocol/responses.hpp"
#include "scan/commands.hpp"
#include "scan/worker_pool.hpp"

namespace radar {

std::string ok_response() { return std::string(kOkResponse); }

std::string error_response(const RadarError& error) {
    std::string out = R"({"error":)";
    append_json_string(out, error.render());
    out.append(R"(,"ok":false})");
    return out;
}

namespace {

std::string respond(Result<std::string> r) { return r ? std::move(r.value()) : error_response(r.error()); }

std::string respond(const std::optional<RadarError>& failure) {
    return failure ? error_response(*failure) : ok_response();
}

std::string dispatch(Handle& h, std::string_view name, const JsonValue& cmd) {
    // The length picks the one candidate name; its bytes must then match.
    switch (name.size()) {
        case 4:
            if (name == "feed") return respond(feed_command(h.spec, h.dataset, cmd, h.event_lists));
            if (name == "scan") return respond(scan_command(h.spec, cmd, h.event_lists));
            break;
        case 5:
            if (name == "reset") return reset_command(h);
            break;
        case 6:
            if (name == "alerts") return respond(alerts_command(h.spec, h.dataset));
            break;
        case 7:
            if (name == "version") return version_command();
            break;
        case 8:
            if (name == "set_spec") return respond(set_spec_command(h, cmd));
            break;
        case 10:
            if (name == "feed_batch") return respond(feed_batch_command(h.spec, h.dataset, cmd, h.event_lists));
            break;
        default: break;
    }
    return error_response(RadarError::bad_spec("unknown cmd: " + std::string(name)));
}

}  // namespace

bool run_command_ok(Handle& handle, std::string_view command_text, std::string& response) {
    // Most commands on a live feed are single events: they skip the tree.
    if (feed_from_text(handle.spec, handle.dataset, command_text)) return true;
    JsonError parse_error;
    // A text this large may hold a big "events" object worth reading on two threads.
    const ParallelRunner runner =
        command_text.size() >= kParallelReadFrom && worker_pool_size() >= 2 ? &detail::run_on_pool : nullptr;
    if (!handle.document.parse(command_text, parse_error, &handle.event_lists, runner)) {
        response = error_response(RadarError::from_json(parse_error));
        handle.trim_scratch(false);
        return false;
    }
    const JsonValue& root = handle.document.root();
    const JsonValue* cmd = root.is_object() ? root.find("cmd") : nullptr;
    bool emptied = false;
    if (cmd == nullptr || !cmd->is_string()) {
        response = error_response(RadarError::bad_spec("missing \"cmd\""));
    } else {
        emptied = cmd->as_string() == "reset" || cmd->as_string() == "set_spec";
        response = dispatch(handle, cmd->as_string(), root);
    }
    handle.trim_scratch(emptied);
    return response == kOkResponse;
}

void Handle::trim_scratch(bool all) {
    document.trim(all);
    event_lists.clear(all);
}

std::string run_command(Handle& handle, std::string_view command_text) {
    std::string response;
    return run_command_ok(handle, command_text, response) ? ok_response() : response;
}

Result<std::unique_ptr<Handle>> Handle::create(std::string_view spec_text) {
    Result<RadarSpec> spec = RadarSpec::from_json_text(spec_text);
    if (!spec) return std::move(spec.error());
    if (auto invalid = spec.value().validate()) return std::move(*invalid);
    auto handle = std::make_unique<Handle>();
    handle->spec = std::move(spec.value());
    return handle;
}

}  // namespace radar
