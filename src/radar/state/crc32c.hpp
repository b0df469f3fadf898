// CRC-32C (Castagnoli): the checksum that closes a saved state.
#pragma once

#include <cstdint>
#include <string_view>

namespace radar {

// Of `bytes`, continuing from a previous value (0 to start).
uint32_t crc32c(std::string_view bytes, uint32_t previous = 0);

}  // namespace radar
