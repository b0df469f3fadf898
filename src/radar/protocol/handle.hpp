// A radar handle: one validated specification and the data fed so far.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/reader.hpp"
#include "market/dataset.hpp"
#include "market/event.hpp"
#include "spec/spec.hpp"

namespace radar {

inline constexpr std::string_view kVersion = "0.1.3";

struct Handle {
    RadarSpec spec;
    Dataset dataset;
    // Parser buffers and decoded event lists, reused by every command. After
    // a command at most about 1 MB of them stays.
    JsonDocument document;
    EventLists event_lists;

    // Empties the buffers a command used, giving back what a large one grew;
    // `all` gives back every one (after "reset" and "set_spec", which empty
    // the dataset: the handle then holds no more than a new one).
    void trim_scratch(bool all);

    // Reads and validates the specification text; nothing is created on error.
    static Result<std::unique_ptr<Handle>> create(std::string_view spec_text);
};

// The command envelope: every outcome, failures included, is a response text.
std::string run_command(Handle& handle, std::string_view command_text);
// The same for a caller that keeps the {"ok":true} answer ready-made: true
// for that answer, with `response` then left as it was; false with any
// other answer in `response`.
bool run_command_ok(Handle& handle, std::string_view command_text, std::string& response);

}  // namespace radar
