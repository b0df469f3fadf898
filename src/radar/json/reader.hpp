// Reading a whole text into a JsonValue tree.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/scanner.hpp"
#include "json/value.hpp"

namespace radar {

// Receives the elements of a command's event lists one at a time while the
// text is read: the root member "events" when it is an array, or each array
// value of an "events" object. A large command then never holds its events
// as a tree; the array becomes a placeholder carrying end_list()'s id.
class ListDecoder {
public:
    // A chance to decode the next value straight from the text, for values
    // of the common simple shapes. Returns false, having read any amount,
    // when the value is not one of them; it is then read again as a tree
    // and handed to element() (or for single(): to the caller as a tree).
    // A value decoded here must be exactly what element() would make of it.
    virtual bool try_element(Scanner& scanner) = 0;
    // The same for a single value: its id when decoded, for a placeholder.
    virtual bool try_single(Scanner& scanner, uint64_t& id) = 0;
    virtual void begin_list() = 0;
    // The element is complete and valid only during the call.
    virtual void element(const JsonValue& element) = 0;
    virtual uint64_t end_list() = 0;

    // For reading the far half of a large "events" object on another
    // thread: an empty decoder of the same kind owned by this one, or null.
    virtual ListDecoder* second() { return nullptr; }
    // Takes in the lists second() decoded; returns the shift that turns
    // their ids into ids of this decoder.
    virtual uint64_t adopt_second() { return 0; }

protected:
    ~ListDecoder() = default;
};

// Owns the storage of one parsed text. Its buffers are kept from one parse
// to the next, so a handle that reads command after command stops
// allocating once warm; buffers grown by a very large text are given back.
// Runs fn(ctx, i, i + 1) for i = 0 and 1, at once where it can, returning when both are
// done (the worker pool's entry point; the reader knows no threads).
using ParallelRunner = void (*)(size_t n, void (*fn)(void* ctx, size_t begin, size_t end), void* ctx);
// The shortest "events" object worth a second thread: below this the hand-off
// and the second buffers cost about what they save.
inline constexpr size_t kParallelReadFrom = size_t{1} << 20;

class JsonDocument {
public:
    JsonDocument() = default;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    // Exactly one value surrounded only by whitespace, nested at most 127
    // levels. The text must outlive the use of root(): strings point into it.
    // With a runner, the far half of a large "events" object may be read on
    // a second thread; the result is the same in every case.
    // `outer_levels`: how deep the text sits inside a document it stands for
    // (a line that is the event of a command), counted against the limit.
    bool parse(std::string_view text, JsonError& error, ListDecoder* lists = nullptr,
               ParallelRunner runner = nullptr, int outer_levels = 0);
    const JsonValue& root() const { return root_; }

    // Frees buffers beyond a modest size; call once a parsed value is done with.
    void trim();

private:
    friend class TreeBuilder;

    JsonValue root_;
    std::vector<JsonValue> items_;     // children of arrays, run after run
    std::vector<JsonMember> members_;  // members of objects, run after run
    std::vector<JsonValue> stack_;     // elements of arrays still open
    std::vector<JsonMember> open_members_;
    std::deque<std::string> unescaped_;  // strings that held escapes
};

}  // namespace radar
