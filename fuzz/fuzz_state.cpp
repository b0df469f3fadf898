// Arbitrary bytes as a saved state. A load either fails with a state error
// or gives a state that:
//   - saves back to the very bytes it came from (the encoding is canonical),
//     and those load again to the same "alerts";
//   - answers "alerts" as a handle without error;
// and a load never holds more memory than a small multiple of its input.
//
// With FUZZ_STATE_SEEDS=DIR set, the target first writes its seed states
// into DIR (how fuzz/corpus/fuzz_state was made).
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "invariants.hpp"
#include "state/crc32c.hpp"
#include "state/handle_state.hpp"
#include "state/load.hpp"
#include "state/save.hpp"
#include "state/wire.hpp"

namespace {

// Live heap bytes while `counting` is on, and their peak.
std::atomic<bool> counting{false};
std::atomic<int64_t> live{0};
std::atomic<int64_t> peak{0};

void on_malloc(const volatile void*, size_t size) {
    if (!counting.load(std::memory_order_relaxed)) return;
    const int64_t now = live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) + size;
    if (now > peak.load(std::memory_order_relaxed)) peak.store(now, std::memory_order_relaxed);
}

void on_free(const volatile void* p) {
    if (!counting.load(std::memory_order_relaxed) || p == nullptr) return;
    live.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(p))),
                   std::memory_order_relaxed);
}

// What a load may hold: a few hundred bytes per symbol record of at least
// 41 bytes, rows at most doubled by the rings' growth.
constexpr int64_t kBytesPerInputByte = 16;
constexpr int64_t kFixedAllowance = 64 << 10;

constexpr std::string_view kSpec =
    R"({"venues":["binance","ok\u00e9x"],"symbols":["BTCUSDT",""],"signals":[)"
    R"({"kind":"oi_delta","params":[3,0.05],"weight":2},{"kind":"funding_flip","params":[0.0005]},)"
    R"({"kind":"book_imbalance","params":[0.6],"weight":0.5},{"kind":"liq_cluster","params":[4,1000]},)"
    R"({"kind":"oi_price_divergence","params":[2,0.02]}],"threshold":0.1,"limit":5})";

std::unique_ptr<radar::Handle> fed_handle(std::string_view spec, int symbols, int events) {
    auto h = std::move(radar::Handle::create(spec).value());
    for (int s = 0; s < symbols; ++s) {
        const std::string sym = s == 1 ? R"(\u00e9\n\"x)" : "S" + std::to_string(s);
        for (int e = 0; e < events; ++e) {
            const std::string ts = std::to_string(1000 * s + e - (e % 3 == 2 ? 5000 : 0));
            std::string ev;
            switch ((e + s) % 3) {
                case 0:
                    ev = R"({"kind":"derivatives","ts":)" + ts + R"(,"open_interest":)" + std::to_string(100 + e * s) +
                         R"(,"funding_rate":-0.0,"mark_price":1e308})";
                    break;
                case 1:
                    ev = R"({"kind":"orderbook","ts":)" + ts + R"(,"bid_volume":5e-324,"ask_volume":)" +
                         std::to_string(e) + R"(,"best_bid":1,"best_ask":2})";
                    break;
                default:
                    ev = R"({"kind":"liquidation","ts":)" + ts + R"(,"side":"buy","qty":)" + std::to_string(e * 7) +
                         R"(,"price":3})";
            }
            radar::run_command(*h, R"({"cmd":"feed","symbol":")" + sym + R"(","event":)" + ev + "}");
        }
    }
    return h;
}

void write_seeds(const std::string& dir) {
    auto put = [&dir](const std::string& name, const std::string& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    };
    put("empty_radar", radar::save_handle_state(*fed_handle(R"({"signals":[{"kind":"funding_flip","params":[1]}]})", 0, 0)));
    put("full_windows", radar::save_handle_state(*fed_handle(kSpec, 4, 20)));
    put("partial_windows", radar::save_handle_state(*fed_handle(kSpec, 3, 4)));
    auto h = fed_handle(kSpec, 5, 7);
    put("partial_state", radar::save_partial(radar::window_length(h->spec), h->dataset));
    // a scan's partial state with bars still open: one held of each kind, one closed
    radar::BarFilter bars(60000);
    auto ignore = [](std::string_view, const radar::Event&) {};
    radar::Event e;
    e.f[0] = 100;
    e.f[1] = 0.0001;
    e.f[2] = 60000;
    for (int64_t ts : {1000, 59000, 61000}) {
        e.ts = ts;
        bars.take("BTCUSDT", e, ignore);
    }
    e.kind = radar::Event::Kind::Orderbook;
    e.f[3] = 2;
    bars.take("ETHUSDT", e, ignore);
    put("partial_bars", radar::save_partial(radar::window_length(h->spec), h->dataset, &bars));
    put("radar_bars", radar::save_state(h->spec, h->dataset, &bars));
}

void check_partial(const radar::SavedState& state, std::string_view input) {
    const std::string again = radar::save_partial(state.window, state.dataset, state.bars ? &*state.bars : nullptr);
    if (again != input) fuzzcheck::fail("partial state does not save back to its bytes", again);
    auto reloaded = radar::load_state(again);
    if (!reloaded || reloaded.value().spec || reloaded.value().window != state.window ||
        reloaded.value().dataset.size() != state.dataset.size() || reloaded.value().bars.has_value() != state.bars.has_value())
        fuzzcheck::fail("saved partial state does not load back", again);
}

// A radar's state with bars open: it saves back with them; as a handle, its
// held snapshots are taken in (a radar has no bars).
void check_radar_with_bars(const radar::SavedState& state, std::string_view input) {
    const std::string again = radar::save_state(*state.spec, state.dataset, &*state.bars);
    if (again != input) fuzzcheck::fail("state with bars does not save back to its bytes", again);
    auto loaded = radar::load_handle_state(input);
    if (!loaded) fuzzcheck::fail("a state that loads is refused as a handle", loaded.error().message);
    const std::string alerts = fuzzcheck::alerts_of(*loaded.value());
    if (!fuzzcheck::check_response(alerts) || alerts.starts_with(R"({"error")"))
        fuzzcheck::fail("loaded state fails alerts", alerts);
}

void check_radar(std::string_view input) {
    auto loaded = radar::load_handle_state(input);
    if (!loaded) fuzzcheck::fail("a state that loads is refused as a handle", loaded.error().message);
    radar::Handle& h = *loaded.value();
    const std::string alerts = fuzzcheck::alerts_of(h);
    if (!fuzzcheck::check_response(alerts) || alerts.starts_with(R"({"error")"))
        fuzzcheck::fail("loaded state fails alerts", alerts);
    const std::string again = radar::save_handle_state(h);
    if (again != input) fuzzcheck::fail("state does not save back to its bytes", again);
    auto reloaded = radar::load_handle_state(again);
    if (!reloaded) fuzzcheck::fail("saved state does not load back", reloaded.error().message);
    if (fuzzcheck::alerts_of(*reloaded.value()) != alerts) fuzzcheck::fail("reloaded state alerts differently", alerts);
}

void check_load(std::string_view input) {
    const size_t size = input.size();
    live.store(0);
    peak.store(0);
    counting.store(true);
    auto loaded = radar::load_state(input);
    counting.store(false);
    if (peak.load() > kFixedAllowance + kBytesPerInputByte * static_cast<int64_t>(size))
        fuzzcheck::fail("load held too much memory", std::to_string(peak.load()) + " bytes");
    if (!loaded) {
        const std::string& m = loaded.error().message;
        if (!m.starts_with("state ") && !m.starts_with("unsupported state ") && m != "not a zolvar_radar state")
            fuzzcheck::fail("unexpected load error", m);
        return;
    }
    if (loaded.value().spec && loaded.value().bars) {
        check_radar_with_bars(loaded.value(), input);
    } else if (loaded.value().spec) {
        check_radar(input);
    } else {
        check_partial(loaded.value(), input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("FUZZ_STATE_SEEDS")) write_seeds(dir);
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    check_load(input);
    // A mutation almost never keeps the checksum right: the same bytes
    // with it recomputed reach the body's checks too.
    if (size >= 4) {
        std::string fixed(input);
        radar::WireWriter w(fixed);
        fixed.resize(size - 4);
        w.u32(radar::crc32c(fixed));
        if (fixed != input) check_load(fixed);
    }
    return 0;
}
