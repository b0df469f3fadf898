// A source of events for a replay other than files: a table's rows, say.
// The replay asks it for one event after another, as it asks its files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_read.hpp"
#include "market/event.hpp"

namespace radar {

class EventInput {
public:
    virtual ~EventInput() = default;
    // Looks at the source before any event is asked for; false with the reason.
    virtual bool open(std::string& error) = 0;
    // The next event; false at the end, at a refused row (not with
    // skip_bad) or when the source failed (then fatal() is set). `symbol`
    // stays valid until the next call.
    virtual bool next(std::string_view& symbol, Event& event) = 0;
    virtual bool stopped() const = 0;  // ended at a refused row
    virtual const std::vector<BadLine>& bad() const = 0;
    virtual const std::string& fatal() const = 0;
    virtual uint64_t done() const { return 0; }  // how far it got, in its own units
};

}  // namespace radar
