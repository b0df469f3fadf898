#include "live/live_feed.hpp"

#include <algorithm>

#include "json/error.hpp"
#include "json/members.hpp"
#include "json/scanner.hpp"
#include "json/writer.hpp"

namespace radar {

LiveFeed::LiveFeed(int64_t bar) {
    if (bar > 0) bars_.emplace(bar);
}

std::optional<std::string> LiveFeed::take(const RadarSpec& spec, Dataset& dataset, std::string_view symbol,
                                          std::string_view event) {
    Event decoded;
    bool plain = false;
    {
        // The event sits inside its command's object: one level down, as there.
        Scanner sc(event);
        plain = sc.enter() && read_plain_event(sc, decoded) && sc.finish();
    }
    if (!plain) {  // what the one-pass reader declines, errors included, the tree decides
        JsonError syntax;
        if (!document_.parse(event, syntax, nullptr, nullptr, 1)) {
            // said of the command's whole text, as its positions are
            std::string command = R"({"cmd":"feed","symbol":)";
            append_json_string(command, symbol);
            command.append(R"(,"event":)").append(event).push_back('}');
            JsonError whole;
            const bool parsed = document_.parse(command, whole);
            document_.trim();
            return RadarError::from_json(parsed ? syntax : whole).render();
        }
        auto read = Event::from_json_value(document_.root());
        document_.trim();
        if (!read) return read.error().render();
        decoded = read.value();
    }
    if (!bars_) {
        dataset.ingest(spec, symbol, decoded);
        ++fed_;
        return std::nullopt;
    }
    bars_->take(symbol, decoded, [&](std::string_view s, const Event& e) {
        dataset.ingest(spec, s, e);
        ++fed_;
    });
    return std::nullopt;
}

std::string LiveFeed::symbol_refusal(std::string_view symbol_json) {
    std::string text = R"({"symbol":)";
    text.append(symbol_json);
    text.push_back('}');
    JsonError syntax;
    std::string out;
    if (!document_.parse(text, syntax)) {
        out = RadarError::from_json(syntax).render();
    } else {
        auto name = require_string_field(document_.root(), "symbol");
        out = name ? std::string() : name.error().render();
    }
    document_.trim();
    return out;
}

uint64_t LiveFeed::close_until(const RadarSpec& spec, Dataset& dataset, int64_t clock) {
    if (!bars_) return 0;
    uint64_t n = 0;
    bars_->close_until(clock, [&](std::string_view s, const Event& e) {
        dataset.ingest(spec, s, e);
        ++n;
    });
    fed_ += n;
    return n;
}

std::vector<std::pair<std::string, Event>> LiveFeed::held() const {
    std::vector<std::pair<std::string, Event>> out;
    if (!bars_) return out;
    std::vector<std::pair<uint64_t, size_t>> order;
    for (const auto& [symbol, bars] : bars_->symbols())
        for (const OpenBar& open : bars.kinds)
            if (open.held) {
                order.emplace_back(open.order, out.size());
                out.emplace_back(symbol, open.event);
            }
    std::sort(order.begin(), order.end());
    std::vector<std::pair<std::string, Event>> sorted;
    sorted.reserve(out.size());
    for (const auto& [_, i] : order) sorted.push_back(std::move(out[i]));
    return sorted;
}

}  // namespace radar
