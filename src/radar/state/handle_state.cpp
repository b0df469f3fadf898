#include "state/handle_state.hpp"

#include <utility>

#include "state/load.hpp"
#include "state/save.hpp"

namespace radar {

std::string save_handle_state(const Handle& handle) { return save_state(handle.spec, handle.dataset); }

Result<std::unique_ptr<Handle>> load_handle_state(std::string_view bytes) {
    Result<SavedState> loaded = load_state(bytes);
    if (!loaded) return std::move(loaded.error());
    SavedState& state = loaded.value();
    if (!state.spec) return RadarError::parse("state is a partial scan state, not a radar's");
    auto handle = std::make_unique<Handle>();
    handle->spec = std::move(*state.spec);
    handle->dataset = std::move(state.dataset);
    // A radar has no bars: the snapshots they hold are its last ones.
    if (state.bars)
        state.bars->close_all([&](std::string_view symbol, const Event& e) { handle->dataset.ingest(state.window, symbol, e); });
    return handle;
}

}  // namespace radar
