// Where the lines of a slice end: the newlines of each 64 bytes as a mask,
// their offsets written to a small array.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "tally/kernel/cpu_paths.h"
#include "tally/kernel/word_digits.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mavek {

// Bit i is set when chunk[i] is a newline.
template <scan_path path>
std::uint64_t newline_mask(const char* chunk);

// The newline mask in plain C++, eight bytes at a time.
inline std::uint64_t word_newline_mask(const char* chunk) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 8)
        mask |= zero_byte_bits(load_word(chunk + i) ^ each_byte('\n')) << i;
    return mask;
}

// SSE2 is part of every x86-64 processor, so the portable path may use it.
template <>
inline std::uint64_t newline_mask<scan_path::portable>(const char* chunk) {
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + i));
        mask |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)))} << i;
    }
    return mask;
#else
    return word_newline_mask(chunk);
#endif
}

// How many line ends a chunk writes whether or not there are as many.
inline constexpr std::size_t ends_written = 4;

// The offsets of the newlines of the 64 bytes at `at` (bit i of `newlines`
// for byte at + i), written to ends on; returns how many. Four are written
// whether or not there are four, unrolled, so that the branch of the loop for
// more is seldom taken; where there are fewer, the extra entries are past the
// count and overwritten by the next chunk. The top bit set in the mask gives
// them an offset (63) without a branch, as ctz of 0 is undefined. The empty
// asm hides from GCC that the four stores are side by side: it would pack
// them into one, at ten more instructions than it saves.
template <scan_path path>
std::size_t write_chunk_ends(std::uint32_t at, std::uint64_t newlines, std::int16_t* ends) {
    const auto found = static_cast<std::size_t>(std::popcount(newlines));
#pragma GCC unroll 4
    for (std::size_t i = 0; i < ends_written; ++i, newlines &= newlines - 1) {
        asm("" : "+r"(ends));
        ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(std::countr_zero(newlines | 1ULL << 63)));
    }
    for (std::size_t i = ends_written; newlines != 0; ++i, newlines &= newlines - 1)
        ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(std::countr_zero(newlines)));
    return found;
}

// The offsets of the line ends in [slice, slice + size), written from ends
// on; returns how many. Whole chunks, then the part of one that ends the
// slice.
template <scan_path path>
std::size_t write_line_ends(const char* slice, std::size_t size, std::int16_t* ends) {
    std::size_t count = 0;
    std::uint32_t at = 0;
    for (; at + chunk_bytes <= size; at += chunk_bytes)
        count += write_chunk_ends<path>(at, newline_mask<path>(slice + at), ends + count);
    if (at < size) {
        const std::uint64_t newlines = newline_mask<path>(slice + at);
        count += write_chunk_ends<path>(at, newlines & low_bits(static_cast<std::ptrdiff_t>(size - at)), ends + count);
    }
    return count;
}

// The kernel's line ends and waiting values, kept in the read block's
// allocation rather than on the stack, which may be small (ulimit -s). 16-bit
// offsets keep the ends at 4 KiB. On the paths that read groups, the last
// lines of a slice, fewer than a group, wait for the next one: their ends
// come first in its array, at offsets below 0. write_chunk_ends writes past
// the last entry, but a chunk's writes start at the count before it, at most
// its offset from the slice, and reach 64 entries past that at most: never
// past the array. A line's value may wait at its own index in the batch;
// the paths that read groups fill it from the start, batch_size at a time.
inline constexpr std::size_t slice_bytes = 2048, carried_most = 7, batch_size = 256;
struct kernel_space {
    std::int16_t ends[carried_most + slice_bytes];
    alignas(64) std::uint32_t batch[carried_most + slice_bytes];
};

}  // namespace mavek
