// Arbitrary bytes as one command text for a handle with a fixed specification.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "invariants.hpp"

namespace {

constexpr std::string_view kSpec =
    R"({"signals":[{"kind":"oi_delta","params":[3,0.05],"weight":2},{"kind":"funding_flip","params":[0.0005]},)"
    R"({"kind":"book_imbalance","params":[0.6]},{"kind":"liq_cluster","params":[4,1000]},)"
    R"({"kind":"oi_price_divergence","params":[3,0.02]}],"threshold":0.1,"limit":5})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<radar::Handle> handle = std::move(radar::Handle::create(kSpec).value());
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzzcheck::run_checked(*handle, text);
    // Keep the dataset from growing without bound across runs.
    if (handle->dataset.size() > 4096) radar::run_command(*handle, R"({"cmd":"reset"})");
    return 0;
}
