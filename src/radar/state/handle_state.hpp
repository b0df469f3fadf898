// Saved state at the level of a radar handle, for the bindings and tools.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "json/error.hpp"
#include "protocol/handle.hpp"

namespace radar {

std::string save_handle_state(const Handle& handle);
// A new handle holding the state's specification and dataset, the snapshots
// of any open bars taken in; a partial state, which has no specification, is
// refused.
Result<std::unique_ptr<Handle>> load_handle_state(std::string_view bytes);

}  // namespace radar
