// The AVX2 steps of the group loop: eight lines at a time, as two sets of
// four 64-bit lanes (a lane_pair), and the newline masks of 64 bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "tally/kernel/cpu_paths.h"
#include "tally/kernel/line_ends.h"
#include "tally/kernel/word_digits.h"

#if defined(__x86_64__)
namespace mavek {

// The lines of a group, eight, one to a 64-bit lane: its first four lines
// and its last four. The steps take and give lanes by reference: the group
// loop is built for any processor, and there a vector passed by value would
// change the calling convention.
struct lane_pair {
    __m256i low, high;
};

// Where the lines of a group start, as offsets in the slice, for plain loads.
struct line_starts {
    std::int64_t at[8];
};

template <>
[[gnu::target(MAVEK_AVX2_TARGET)]] inline std::uint64_t newline_mask<scan_path::avx2>(const char* chunk) {
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + 32));
    const auto low_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, newline)));
    const auto high_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, newline)));
    return low_mask | std::uint64_t{high_mask} << 32;
}

[[gnu::target(MAVEK_AVX2_TARGET)]] inline void splat(lane_pair& lanes, std::int64_t value) {
    lanes.low = lanes.high = _mm256_set1_epi64x(value);
}

inline void splat(line_starts& starts, std::int64_t value) {
    std::fill(std::begin(starts.at), std::end(starts.at), value);
}

// Where the group's lines start, from its eight line ends: one past the end
// before each. `before` brings the end of the line before the group, in its
// last lane, and takes the group's last.
inline void group_starts(const std::int16_t* ends, line_starts& before, line_starts& starts) {
    starts.at[0] = before.at[7] + 1;
    for (std::size_t k = 1; k < 8; ++k) starts.at[k] = ends[k - 1] + 1;
    before.at[7] = ends[7];
}

// The words of four lines, from four loads: AVX2's gather was a fifth slower
// than they are on the processor we measured (AMD Zen 4).
[[gnu::target(MAVEK_AVX2_TARGET)]] inline __m256i four_words(const char* base, const std::int64_t* starts) {
    const auto word = [&](int k) { return static_cast<long long>(load_word(base + starts[k])); };
    const __m128i low = _mm_insert_epi64(_mm_cvtsi64_si128(word(0)), word(1), 1);
    const __m128i high = _mm_insert_epi64(_mm_cvtsi64_si128(word(2)), word(3), 1);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Where the lines' digits start, past the padding that `at` marks
// (digit_starts): lane k at the lowest bit of its byte, or where it started
// if it has none (and so stays not plain).
inline line_starts past_padding(const line_starts& starts, std::uint64_t at) {
    line_starts digits;
    for (unsigned k = 0; k < 8; ++k)
        digits.at[k] = starts.at[k] + (__builtin_ctzll((at >> 8 * k & 0xFF) | 0x100) & 7);
    return digits;
}

// The values of the plain numbers that four words start with (plain_value
// four at a time); bit k of the result says whether lane k holds one. AVX2
// has neither a 64-bit leading-zero count nor byte masks, so a lane's digits
// are counted by summing a 1 for each byte below its first mark, and its
// first `digits` bytes are shifted to the top from there. Then pairs, quads
// and the value come from multiply-adds, as aligned_value does.
[[gnu::target(MAVEK_AVX2_TARGET)]] inline unsigned plain_values(__m256i words, __m256i& values) {
    const __m256i digits = _mm256_sub_epi8(words, _mm256_set1_epi8('0'));
    const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits);
    const __m256i marks = _mm256_andnot_si256(digit, _mm256_set1_epi8(-1));
    const __m256i lowest = _mm256_and_si256(marks, _mm256_sub_epi64(_mm256_setzero_si256(), marks));
    // All ones below the lowest mark, 8 × digits of them; all of 64 for none.
    const __m256i below = _mm256_sub_epi64(lowest, _mm256_set1_epi64x(1));
    const __m256i count = _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), _mm256_setzero_si256());
    const __m256i shift = _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(count, 3));
    const __m256i aligned = _mm256_sllv_epi64(digits, shift);
    const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(byte_pair_weights));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(word_pair_weights));
    values = _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(quads, 32));
    // 1 to plain_digits digits: the lowest mark is at the start of byte 1 to 7.
    static_assert(plain_digits == 7);
    const __m256i plain = _mm256_and_si256(lowest, _mm256_set1_epi64x(0x0101010101010100));
    return 0xF & ~static_cast<unsigned>(
                     _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(plain, _mm256_setzero_si256()))));
}

// The bytes of the words in 32 lanes equal to `byte`, one bit each.
[[gnu::target(MAVEK_AVX2_TARGET)]] inline std::uint64_t byte_bits(const __m256i& words, __m256i byte) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(words, byte)));
}

[[gnu::target(MAVEK_AVX2_TARGET)]] inline std::uint64_t space_bits(const __m256i& words) {
    // Tab to carriage return, or a space: whitespace but the newline, which ends the line.
    const __m256i tab_on = _mm256_sub_epi8(words, _mm256_set1_epi8('\t'));
    const __m256i in_tabs = _mm256_cmpeq_epi8(_mm256_min_epu8(tab_on, _mm256_set1_epi8('\r' - '\t')), tab_on);
    return (static_cast<std::uint32_t>(_mm256_movemask_epi8(in_tabs)) | byte_bits(words, _mm256_set1_epi8(' '))) &
           ~byte_bits(words, _mm256_set1_epi8('\n'));
}

// The values of eight lines that start at `starts`, and for lines padded
// with spaces, a plus sign or zeros, from words read again past them
// (digit_starts). Bit k of the result says whether lane k holds a plain number.
[[gnu::target(MAVEK_AVX2_TARGET)]] inline unsigned group_values(const char* slice, const line_starts& starts,
                                                                lane_pair& values) {
    const __m256i low = four_words(slice, starts.at), high = four_words(slice, starts.at + 4);
    const unsigned plain = plain_values(low, values.low) | plain_values(high, values.high) << 4;
    if (plain == 0xFF) [[likely]] return plain;
    const auto both = [](std::uint64_t low_bits, std::uint64_t high_bits) { return low_bits | high_bits << 32; };
    const std::uint64_t at =
        digit_starts(both(space_bits(low), space_bits(high)),
                     both(byte_bits(low, _mm256_set1_epi8('+')), byte_bits(high, _mm256_set1_epi8('+'))),
                     both(byte_bits(low, _mm256_set1_epi8('0')), byte_bits(high, _mm256_set1_epi8('0'))));
    const line_starts digits = past_padding(starts, at);
    return plain_values(four_words(slice, digits.at), values.low) |
           plain_values(four_words(slice, digits.at + 4), values.high) << 4;
}

// Plain values are below 2^31, so the signed compare, the only one AVX2 has, will do.
[[gnu::target(MAVEK_AVX2_TARGET)]] inline bool all_below(const lane_pair& values, const lane_pair& limit) {
    const __m256i below =
        _mm256_and_si256(_mm256_cmpgt_epi64(limit.low, values.low), _mm256_cmpgt_epi64(limit.high, values.high));
    return _mm256_movemask_pd(_mm256_castsi256_pd(below)) == 0xF;
}

// The values as eight 32-bit ones, at `to`, on 32 bytes.
[[gnu::target(MAVEK_AVX2_TARGET)]] inline void store_values(std::uint32_t* to, const lane_pair& values) {
    // The low halves of the lanes, as [v0 v1 v4 v5 | v2 v3 v6 v7], then in order.
    const __m256i mixed = _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(values.low), _mm256_castsi256_ps(values.high), 0x88));
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm256_permute4x64_epi64(mixed, 0xD8));
}

}  // namespace mavek
#endif
