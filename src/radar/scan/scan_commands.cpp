#include <utility>
#include <vector>

#include "json/members.hpp"
#include "market/event.hpp"
#include "market/symbol_state.hpp"
#include "scan/commands.hpp"
#include "scan/scoring.hpp"
#include "scan/worker_pool.hpp"

namespace radar {

Result<std::string> scan_command(const RadarSpec& spec, const JsonValue& command, const EventLists& lists) {
    auto member = require_field(command, "events");
    if (!member) return std::move(member.error());
    // Every event converts before anything is scored, and a conversion error
    // is reported ahead of the spec check.
    EventList scratch;
    auto decoded = decode_event_map(*member.value(), lists, scratch);
    if (!decoded) return std::move(decoded.error());
    std::vector<std::string> labels;
    if (auto error = spec.validate(&labels)) return std::move(*error);

    const EventMap& map = decoded.value();
    const uint64_t window = window_length(spec);
    // One slot per symbol, in symbol order; each task fills only its own, so
    // what is scored never depends on how the pool ran the tasks.
    std::vector<SymbolState> states(map.size(), SymbolState(window));
    parallel_for(map.size(), [&](size_t i) {
        SymbolState& state = states[i];
        for (const Event& e : map[i].second) state.apply(e);
    });

    AlertListBuilder builder(spec, std::move(labels));
    for (size_t i = 0; i < map.size(); ++i) builder.add(map[i].first, states[i]);
    return write_scan_result(builder.finish());
}

Result<std::string> alerts_command(const RadarSpec& spec, const Dataset& dataset) {
    std::vector<std::string> labels;
    if (auto error = spec.validate(&labels)) return std::move(*error);
    AlertListBuilder builder(spec, std::move(labels));
    for (const auto& [symbol, state] : dataset) builder.add(symbol, state);
    return write_scan_result(builder.finish());
}

}  // namespace radar
