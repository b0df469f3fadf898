#include "state/crc32c.hpp"

#include <array>

namespace radar {

namespace {

// Bit-reflected form of the polynomial 0x1EDC6F41.
constexpr uint32_t kPolynomial = 0x82F63B78;

// Byte at a time: a state is checked once per load, so the plain table is enough.
constexpr std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[i] = c;
    }
    return t;
}();

static_assert(kTable[1] == 0xF26B8303, "reflected Castagnoli table");

}  // namespace

uint32_t crc32c(std::string_view bytes, uint32_t previous) {
    uint32_t c = ~previous;
    for (char ch : bytes) c = kTable[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace radar
