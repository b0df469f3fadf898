// Arbitrary bytes as a specification text.
#include <cstddef>
#include <cstdint>

#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto handle = radar::Handle::create(text);
    if (!handle) {
        const std::string rendered = handle.error().render();
        if (!fuzzcheck::valid_utf8(rendered)) fuzzcheck::fail("error text is not UTF-8", rendered);
        return 0;
    }
    radar::Handle& h = *handle.value();
    if (auto invalid = h.spec.validate()) fuzzcheck::fail("accepted spec fails validation", text);
    // Whatever the spec, it must score.
    fuzzcheck::check_response(fuzzcheck::alerts_of(h));
    fuzzcheck::run_checked(h, R"({"cmd":"feed","symbol":"X","event":["derivatives",1,100,0.001,50]})");
    fuzzcheck::run_checked(h, R"({"cmd":"feed","symbol":"X","event":["liquidation",2,"buy",5,50]})");
    fuzzcheck::run_checked(h, R"({"cmd":"feed","symbol":"X","event":["orderbook",3,1,2,3,4]})");
    fuzzcheck::check_response(fuzzcheck::alerts_of(h));
    return 0;
}
