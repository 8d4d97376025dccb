// What an instruction set gives the generic scan: the contract that each
// layer (portable_layer.h, avx2_layer.h, avx512_layer.h) meets, and the few
// steps that more than one layer uses as they are.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace mavek {

inline constexpr std::size_t chunk_bytes = 64;  // one bit per byte of a 64-bit mask
inline constexpr std::size_t step_bytes = 64;   // what one step of the hash takes, on every layer

// Where the eight lines of a group start, as offsets in their slice.
struct line_starts {
    std::int64_t at[8];
};

// Bytes of the first words of eight lines, one bit each (bit 8k + i for byte
// i of lane k): whitespace but the newline, plus signs and zeros, all that
// may stand before a line's digits.
struct padding_marks {
    std::uint64_t space, plus, zero;
};

// The offsets of the newlines of the 64 bytes at `at` (bit i of `newlines`
// for byte at + i), written to ends on; returns how many. Four are written
// whether or not there are four, unrolled, so that the branch of the loop for
// more is seldom taken; where there are fewer, the extra entries are past the
// count and overwritten by the next chunk. The top bit set in the mask gives
// them an offset (63) without a branch, as ctz of 0 is undefined. The empty
// asm hides from GCC that the four stores are side by side: it would pack
// them into one, at ten more instructions than it saves.
inline std::size_t scalar_chunk_ends(std::uint32_t at, std::uint64_t newlines, std::int16_t* ends) {
    constexpr std::size_t written = 4;
    const auto found = static_cast<std::size_t>(std::popcount(newlines));
#pragma GCC unroll 4
    for (std::size_t i = 0; i < written; ++i, newlines &= newlines - 1) {
        asm("" : "+r"(ends));
        ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(std::countr_zero(newlines | 1ULL << 63)));
    }
    for (std::size_t i = written; newlines != 0; ++i, newlines &= newlines - 1)
        ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(std::countr_zero(newlines)));
    return found;
}

// Every layer: the newline mask of 64 bytes (bit i for byte i), the offsets
// of a chunk's line ends written from a mask (at most 64 entries, maybe more
// than it finds), and the NH sum of whole 64-byte steps with the key's words
// (read_hash.h).
template <class layer>
concept scan_layer = requires(const char* bytes, const std::uint32_t* key, std::size_t size, std::uint32_t at,
                              std::uint64_t newlines, std::int16_t* ends) {
    { layer::newline_mask(bytes) } -> std::same_as<std::uint64_t>;
    { layer::chunk_ends(at, newlines, ends) } -> std::same_as<std::size_t>;
    { layer::nh_sum(bytes, key, size) } -> std::same_as<std::uint64_t>;
};

// A layer that reads eight lines at a time, one to a 64-bit lane of
// `lanes`: their first words from their starts; the values of the plain
// numbers these start with (number_parse.h: plain_value), with bit k of the
// result set where lane k holds one; the padding before their digits; and,
// for the values, a lane-wide limit, a test that all are below it, and a
// store of all eight as 32-bit values to 32 aligned bytes. Lanes go by
// reference: the generic loop is built for any processor, and there a
// vector passed by value would change the calling convention.
template <class layer>
concept group_layer = scan_layer<layer> &&
    requires(const char* slice, const line_starts& starts, typename layer::lanes& lanes, std::uint32_t limit,
             std::uint32_t* to) {
    {layer::eight_words(slice, starts, lanes)};
    { layer::plain_values(lanes, lanes) } -> std::convertible_to<unsigned>;
    { layer::padding(lanes) } -> std::same_as<padding_marks>;
    {layer::splat(lanes, limit)};
    { layer::all_below(lanes, lanes) } -> std::same_as<bool>;
    {layer::store_values(to, lanes)};
};

}  // namespace mavek
