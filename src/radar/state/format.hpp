// The layout of a saved state. Every integer is little-endian, every number
// its IEEE-754 bits as a 64-bit integer:
//
//   header   magic (8 bytes) | version u16 | kind u8 | flags u8 (0, or kOpenBars)
//            | spec section length u64 | dataset section length u64
//   spec     (radar states only; empty in a partial state)
//            venues: count u64, each length u64 + bytes
//            symbols: the same
//            signals: count u64, each kind u8 | param count u64 | params f64... | weight f64
//            threshold f64 | limit present u8 | limit u64 (0 when absent)
//   dataset  window u64 | symbol count u64, then per symbol in byte order:
//            name length u64 + bytes | last_ts i64
//            | book present u8 [| bid volume f64 | ask volume f64]
//            | derivatives row count u64, rows of open interest, funding rate, mark price (oldest first)
//            | liquidation count u64, quantities (oldest first)
//   bars     (with kOpenBars only; the bytes up to the trailer) a scan's
//            bars still open: width i64 | snapshots dropped u64 | symbol count u64,
//            then per symbol in byte order: name length u64 + bytes, and for
//            derivatives then order books: what u8 (0 none read, 1 read, 2 one held)
//            [| first interval i64] [| interval i64 | ts i64 | values f64 x3 or x4]
//   trailer  CRC-32C u32 of every byte before it
//
// The encoding is canonical: flags, presence bytes and the absent limit
// have one valid value each, so saving a loaded state gives its bytes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace radar::state_format {

// The NUL keeps a text tool from taking a state for text.
inline constexpr std::string_view kMagic{"ZRSTATE\0", 8};
inline constexpr uint16_t kVersion = 1;

enum class Kind : uint8_t {
    Radar = 1,    // a radar's specification and dataset
    Partial = 2,  // a scan's window and dataset, without a specification
};

// A state whose bars are still open (its scan thinned events to bars).
inline constexpr uint8_t kOpenBars = 1;

inline constexpr size_t kHeaderSize = 8 + 2 + 1 + 1 + 8 + 8;
inline constexpr size_t kChecksumSize = 4;

// The fewest bytes each repeated record takes, to check a count against
// the bytes left before anything is allocated for it.
inline constexpr size_t kMinString = 8;                          // its length
inline constexpr size_t kMinSignal = 1 + 8 + 8;                  // kind, param count, weight
inline constexpr size_t kMinSymbol = 8 + 8 + 1 + 8 + 8;          // name length, ts, book flag, two counts
inline constexpr size_t kDerivativesRow = 3 * 8;
inline constexpr size_t kLiquidationRow = 8;
inline constexpr size_t kMinBarSymbol = 8 + 1 + 8 + 1;  // name length; one kind read, its first interval; the other

}  // namespace radar::state_format
