#include "files/json_line.hpp"

#include "json/bytes.hpp"
#include "json/members.hpp"
#include "market/event.hpp"
#include "json/scanner.hpp"

namespace radar {

namespace {

bool recursion_error(const JsonError& e) { return e.message == "recursion limit exceeded"; }

}  // namespace

bool JsonLineDecoder::decode(std::string_view line, std::string_view& symbol, Event& event, std::string& error) {
    // Most lines are read in one pass; what that declines, errors included, the tree decides.
    Scanner sc(line);
    if (read_line_event(sc, symbol, event, symbol_store_)) return true;
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
