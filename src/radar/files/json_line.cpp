#include "files/json_line.hpp"

#include "json/bytes.hpp"
#include "json/members.hpp"
#include "json/scanner.hpp"

namespace radar {

namespace {

constexpr std::string_view kHead = R"({"symbol":")";
constexpr std::string_view kEvent = R"(,"event":)";
constexpr std::string_view kKind = R"(,"kind":)";

// The two usual shapes, compact with the symbol first: {"symbol":S,"event":E}
// and {"symbol":S,"kind":...}. False for anything else, errors included.
bool read_usual_line(std::string_view line, std::string_view& symbol, Event& event) {
    if (!line.starts_with(kHead)) return false;
    Scanner sc(line);
    if (!sc.enter()) return false;
    sc.skip(kHead.size());
    if (!sc.parse_string(symbol) || sc.string_was_copied()) return false;
    const std::string_view rest = sc.rest();
    if (rest.starts_with(kEvent)) {
        sc.skip(kEvent.size());
        if (!read_plain_event(sc, event) || sc.peek() != '}') return false;
        sc.eat();
        return sc.finish();
    }
    if (!rest.starts_with(kKind)) return false;
    // The line is the event itself, one level inside the command it stands
    // for; its one member no kind reads must be the symbol just seen.
    Scanner whole(line);
    whole.rewind(0, whole.depth() - 1);
    unsigned others = 0;
    return read_plain_event(whole, event, others) && others == 1 && whole.finish();
}

bool recursion_error(const JsonError& e) { return e.message == "recursion limit exceeded"; }

}  // namespace

bool JsonLineDecoder::decode(std::string_view line, std::string_view& symbol, Event& event, std::string& error) {
    if (read_usual_line(line, symbol, event)) return true;
    return decode_tree(line, symbol, event, error);
}

bool JsonLineDecoder::decode_tree(std::string_view line, std::string_view& symbol, Event& event,
                                  std::string& error) {
    // A line that is the event sits one level deeper in its "feed" command
    // than in the line; one with an "event" member does not.
    JsonError syntax;
    if (!document_.parse(line, syntax, nullptr, nullptr, 1)) {
        JsonError unused;
        if (!recursion_error(syntax) || !document_.parse(line, unused) || !document_.root().is_object() ||
            document_.root().find("event") == nullptr) {
            error = RadarError::from_json(syntax).render();
            return false;
        }
    }
    const JsonValue& root = document_.root();
    // A line that isn't an object has no "symbol" (find() finds nothing in
    // it), as the "feed" command made of it would have none.
    const JsonValue* event_value = root.find("event");
    if (event_value == nullptr) event_value = &root;
    auto name = require_string_field(root, "symbol");
    if (!name) {
        error = name.error().render();
        return false;
    }
    auto decoded = Event::from_json_value(*event_value);
    if (!decoded) {
        error = decoded.error().render();
        return false;
    }
    symbol = name.value();
    event = decoded.value();
    return true;
}

}  // namespace radar
