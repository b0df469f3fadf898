// Valid-looking command sequences built from the input: feeds, batches and
// scans of events with edge-case numbers. Beyond the response checks it
// holds the equivalences the radar promises:
//   feed_batch == the same events fed one by one,
//   scan == feeding a fresh handle, then alerts,
//   scan twice == the same text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "invariants.hpp"
#include "json/number_text.hpp"
#include "json/writer.hpp"

namespace {

constexpr std::string_view kSpec =
    R"({"signals":[{"kind":"oi_delta","params":[2,0.05],"weight":2},{"kind":"funding_flip","params":[0.0005]},)"
    R"({"kind":"book_imbalance","params":[0.6],"weight":0.5},{"kind":"liq_cluster","params":[3,100]},)"
    R"({"kind":"oi_price_divergence","params":[2,0.02]}],"threshold":0.05,"limit":4})";

std::string number(FuzzedDataProvider& in) {
    static const char* kSpecial[] = {"0", "-0", "1e-300", "1e300", "-1e300", "0.5", "-7", "1e-8", "3.5e-9",
                                     "18446744073709551615", "-9223372036854775808", "1.0", "2e400", "\"x\"",
                                     "null", "[]"};
    if (in.ConsumeBool()) return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
    std::string out;
    radar::append_json_double(out, in.ConsumeFloatingPoint<double>());
    if (out == "null") out = "0";
    return out;
}

std::string event(FuzzedDataProvider& in) {
    std::string ts = in.ConsumeBool() ? std::to_string(in.ConsumeIntegral<int64_t>()) : number(in);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return R"({"kind":"derivatives","ts":)" + ts + R"(,"open_interest":)" + number(in) +
                   R"(,"funding_rate":)" + number(in) + R"(,"mark_price":)" + number(in) + "}";
        case 1:
            return R"(["orderbook",)" + ts + "," + number(in) + "," + number(in) + ",1,2]";
        case 2:
            return R"({"kind":"liquidation","side":")" + std::string(in.ConsumeBool() ? "buy" : "sell") +
                   R"(","ts":)" + ts + R"(,"qty":)" + number(in) + R"(,"price":)" + number(in) + "}";
        default: {
            // Arbitrary text as one element, so the list keeps its length.
            std::string out;
            radar::append_json_string(out, in.ConsumeRandomLengthString(24));
            return in.ConsumeBool() ? out : R"({"kind":"orderbook","ts":)" + ts + R"(,"note":)" + out + "}";
        }
    }
}

// Symbols stay ASCII (control characters included) so that a refused batch
// is always the fault of one of its events.
std::string symbol(FuzzedDataProvider& in) {
    std::string raw = in.ConsumeRandomLengthString(6);
    for (char& c : raw) c = static_cast<char>(c & 0x7F);
    std::string out;
    radar::append_json_string(out, raw);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto fed = std::move(radar::Handle::create(kSpec).value());
    auto batched = std::move(radar::Handle::create(kSpec).value());
    std::map<std::string, std::vector<std::string>> applied;  // JSON symbol -> events that went in

    while (in.remaining_bytes() > 0) {
        std::string sym = symbol(in);
        std::vector<std::string> events;
        size_t n = in.ConsumeIntegralInRange<size_t>(0, 6);
        for (size_t i = 0; i < n; ++i) events.push_back(event(in));
        std::string list = "[";
        for (size_t i = 0; i < events.size(); ++i) list += (i ? "," : "") + events[i];
        list += "]";

        bool batch_ok = fuzzcheck::run_checked(
            *batched, R"({"cmd":"feed_batch","symbol":)" + sym + R"(,"events":)" + list + "}");
        // A batch is all or nothing; feed the same events one by one only if it went in.
        if (batch_ok) {
            for (const std::string& e : events) {
                if (!fuzzcheck::run_checked(*fed, R"({"cmd":"feed","symbol":)" + sym + R"(,"event":)" + e + "}"))
                    fuzzcheck::fail("event accepted in a batch refused alone", e);
            }
            if (!events.empty()) {
                auto& kept = applied[sym];
                kept.insert(kept.end(), events.begin(), events.end());
            }
        } else if (!events.empty()) {
            // at least one event must be refused alone too
            bool any_refused = false;
            for (const std::string& e : events) {
                std::string probe = R"({"cmd":"feed","symbol":"probe","event":)" + e + "}";
                auto scratch = std::move(radar::Handle::create(kSpec).value());
                if (!fuzzcheck::check_response(radar::run_command(*scratch, probe))) any_refused = true;
            }
            if (!any_refused) fuzzcheck::fail("batch refused although every event is valid", list);
        }
    }

    std::string fed_alerts = fuzzcheck::alerts_of(*fed);
    if (fed_alerts != fuzzcheck::alerts_of(*batched)) fuzzcheck::fail("feed_batch differs from feeds", fed_alerts);

    std::string scan = R"({"cmd":"scan","events":{)";
    bool first = true;
    for (const auto& [sym, events] : applied) {
        scan += (first ? "" : ",") + sym + ":[";
        first = false;
        for (size_t i = 0; i < events.size(); ++i) scan += (i ? "," : "") + events[i];
        scan += "]";
    }
    scan += "}}";
    // Symbols that only ever had empty batches exist in neither side, as in the radar.
    std::string scanned = radar::run_command(*fed, scan);
    fuzzcheck::check_response(scanned);
    if (scanned != radar::run_command(*fed, scan)) fuzzcheck::fail("scan is not repeatable", scan);
    // fed holds a state for every symbol with at least one event; the scan
    // has the same symbols (empty lists were never recorded).
    if (scanned != fed_alerts) fuzzcheck::fail("scan differs from feed + alerts", scan);
    return 0;
}
