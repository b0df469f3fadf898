// One JSON Lines line as the symbol and event it stands for, judged as the
// "feed" command of that symbol and event would be.
#pragma once

#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "market/event.hpp"

namespace radar {

class JsonLineDecoder {
public:
    // `line`: trimmed, not blank, valid UTF-8. True with `symbol` (valid
    // until the next call) and `event` set; false with the radar's error text.
    bool decode(std::string_view line, std::string_view& symbol, Event& event, std::string& error);

private:
    bool decode_tree(std::string_view line, std::string_view& symbol, Event& event, std::string& error);

    JsonDocument document_;
    std::string symbol_store_;  // a symbol written with escapes, decoded
};

}  // namespace radar
