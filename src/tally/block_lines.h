// The fast kernel of both passes: every line that ends in a block, found from
// its known end, its number read many bytes at a time where it is plain.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "tally/line_scan.h"
#include "tally/line_words.h"
#include "tally/number_parse.h"

namespace mavek {

// Values of plain numbers on consecutive lines, for the AVX-512 and AVX2
// paths, which read eight at a time. A visitor may take many at once with
// visit_plain(values, how many, line of the first), which returns false when
// they must come one by one instead, and may name with plain_limit() a bound
// that the values must be below for that call. A visitor that only wants the
// largest of them has visit_largest(value) instead, called once per slice.
template <class Visitor>
bool visit_plain(Visitor& visit, const std::uint32_t* values, std::size_t count, std::uint64_t line) {
    if constexpr (requires { visit.visit_plain(values, count, line); }) {
        if (visit.visit_plain(values, count, line)) return true;
    }
    for (std::size_t k = 0; k < count; ++k)
        if (!visit(static_cast<std::int32_t>(values[k]), line + k)) return false;
    return true;
}

// How many line ends a chunk writes whether or not there are as many.
inline constexpr std::size_t ends_written = 4;

// Where a path has no popcount instruction (x86 before it, which the
// portable path must run on), chunks of 59 bytes count their line ends
// without one: the five top bits of the mask are set, for bytes that the
// next chunk takes, so that the unrolled steps never take the lowest bit of
// 0, and after them the lowest bit left says how many ends they wrote. With
// k ends, they took 4 - k of the set bits from bit 59 on and left bit 63 - k;
// a bit below 59 means more ends, which the loop after them writes.
inline constexpr std::size_t counted_bytes = 59;
inline std::size_t write_counted_ends(std::uint32_t at, std::uint64_t newlines, std::int16_t* ends) {
    static_assert(chunk_bytes - counted_bytes == ends_written + 1);
    std::uint64_t marks = newlines | ~low_bits(counted_bytes);
#pragma GCC unroll 4
    for (std::size_t i = 0; i < ends_written; ++i, marks &= marks - 1) {
        asm("" : "+r"(ends));
        ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(marks)));
    }
    auto next = static_cast<std::size_t>(__builtin_ctzll(marks));
    if (next >= counted_bytes) [[likely]] return chunk_bytes - 1 - next;
    std::size_t found = ends_written;
    for (; next < counted_bytes; marks &= marks - 1, next = static_cast<std::size_t>(__builtin_ctzll(marks)))
        ends[found++] = static_cast<std::int16_t>(at + next);
    return found;
}

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
    if constexpr (!has_popcount(path)) {
        return write_counted_ends(at, newlines, ends);
    } else {
        const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
#pragma GCC unroll 4
        for (std::size_t i = 0; i < ends_written; ++i, newlines &= newlines - 1) {
            asm("" : "+r"(ends));
            ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines | 1ULL << 63)));
        }
        for (std::size_t i = ends_written; newlines != 0; ++i, newlines &= newlines - 1)
            ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines)));
        return found;
    }
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
    fingerprint_weights weights;
};

#if defined(__x86_64__)
// With AVX-512, each 64 bytes compress the offsets of their newlines in one
// step, as bytes, which are then widened: one compress of 64 bytes costs half
// of two of 32 16-bit offsets. 32 are written at once, 64 for more than 32.
template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::size_t write_chunk_ends<scan_path::avx512>(std::uint32_t at,
                                                                                           std::uint64_t newlines,
                                                                                           std::int16_t* ends) {
    const __m512i offsets = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                            44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                            25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                            5, 4, 3, 2, 1, 0);
    const __m512i packed = _mm512_maskz_compress_epi8(newlines, offsets);
    const __m512i base = _mm512_set1_epi16(static_cast<short>(at));
    _mm512_storeu_si512(ends, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(packed)), base));
    const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
    // More than 32 line ends in 64 bytes: lines of one byte.
    if (found > 32) [[unlikely]]
        _mm512_storeu_si512(ends + 32, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(packed, 1)), base));
    return found;
}

#endif

// The offsets of the line ends in [slice, slice + size), written from ends
// on; returns how many. Whole chunks, then the part of one that ends the
// slice; a chunk is 64 bytes, or 59 where the ends are counted by hand.
template <scan_path path>
std::size_t write_line_ends(const char* slice, std::size_t size, std::int16_t* ends) {
    constexpr std::size_t step = has_popcount(path) ? chunk_bytes : counted_bytes;
    std::size_t count = 0;
    std::uint32_t at = 0;
    for (; at + step <= size; at += step)
        count += write_chunk_ends<path>(at, newline_mask<path>(slice + at), ends + count);
    if (at < size) {
        const std::uint64_t newlines = newline_mask<path>(slice + at);
        count += write_chunk_ends<path>(at, newlines & low_bits(static_cast<std::ptrdiff_t>(size - at)), ends + count);
    }
    return count;
}

// Where the kernel stands: what goes from line to line and from slice to
// slice, kept in registers until a block's lines are done.
struct line_walk {
    const char* p;             // where the next line's token may start
    std::uint64_t line;        // its number
    fingerprint digest;
    kernel_space& space;       // the slice's line ends, and values waiting for the visitor
};

// The value of a line that does not start with a plain number, read byte by
// byte from p up to its known end; false for a line without a token.
inline bool other_line_value(const char* p, const char* const line_end, std::int32_t& value) {
    while (p != line_end && is_space(*p)) ++p;
    if (p == line_end) return false;
    number_parse number;
    parse_number(number, p, line_end);
    value = number_value(number);
    return true;
}

// One line from its known end, ends[i] of the slice: a plain number from one
// word, any other line byte by byte. Returns false when the visitor stops.
// The fingerprint must have reached the line, `line`, whose weight is
// `weight`; walk.line is the caller's to move.
template <class Visitor>
bool visit_line(line_walk& walk, const char* slice, std::size_t i, Visitor& visit, std::uint64_t line,
                const std::uint64_t& weight) {
    const char* const p = walk.p;
    const char* const line_end = slice + walk.space.ends[i];
    walk.p = line_end + 1;
    std::uint32_t plain;
    std::int32_t value;
    if (plain_value(load_word(p), plain))
        return visit_value(visit, static_cast<std::int32_t>(plain), line, walk.digest, weight);
    return !other_line_value(p, line_end, value) || visit_value(visit, value, line, walk.digest, weight);
}

#if defined(__x86_64__)
// The values of two lines' aligned digits (aligned_digits) at once, in
// the 32-bit lanes 0 and 1 of an SSE2 register, which every x86-64 processor
// has (and again in lanes 2 and 3): the line loop is bound by the integer
// units, and this moves the value steps of aligned_value to the vector ones.
// As there, × (1 + 10 << 8) >> 8 makes pairs of digits, and multiply-adds
// make quads and then values, the quads packed to 16 bits in between.
inline __m128i pair_values(std::uint64_t first, std::uint64_t second) {
    const __m128i digits = _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
    // One multiplication, which GCC would turn into four shifts and adds.
    __m128i pair_scale = _mm_set1_epi16(1 + (10 << 8));
    asm("" : "+x"(pair_scale));
    const __m128i pairs = _mm_srli_epi16(_mm_mullo_epi16(digits, pair_scale), 8);
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
    return _mm_madd_epi16(_mm_packs_epi32(quads, quads), _mm_set1_epi32(0x00012710));
}

// The step of visit_run on x86-64: lines two at a time, from ends[i] of the
// slice up to `stop`, while both start with plain numbers below `below`
// (when asked); returns where it stopped, and moves `line`, where the first
// one starts, past them. Their values are added to `print` with their
// weights, line ends[k]'s at k + weight_shift (modulo 2^64), and kept in
// `most`, or in the batch at their own indexes. All that moves from pair to
// pair is in locals, which the compiler keeps in registers: the caller's,
// which its lambdas take by reference, would live on the stack.
template <bool keep_largest, bool check_limit>
std::size_t plain_pairs(const char*& line, const char* slice, const std::int16_t* ends, std::size_t i,
                        const std::size_t stop, const std::uint64_t* weight, const std::size_t weight_shift,
                        std::uint32_t* batch, __m128i below, __m128i& print, __m128& most) {
    const char* p = line;
    __m128i sum = print;
    __m128 largest = most;
    for (; i + 2 <= stop; i += 2) {
        const char* const second = slice + ends[i] + 1;
        const std::uint64_t first_word = load_word(p), second_word = load_word(second);
        const std::uint64_t first_marks = not_digit_marks(first_word), second_marks = not_digit_marks(second_word);
        if (!plain_marks(first_marks, second_marks)) break;
        const __m128i values =
            pair_values(aligned_digits(first_word, first_marks), aligned_digits(second_word, second_marks));
        if (check_limit && _mm_movemask_epi8(_mm_cmplt_epi32(values, below)) != 0xFFFF) break;
        const __m128i wide = _mm_unpacklo_epi32(values, _mm_setzero_si128());
        const auto* const weights = reinterpret_cast<const __m128i*>(&weight[i + weight_shift]);
        sum = _mm_add_epi64(sum, _mm_mul_epu32(wide, _mm_loadu_si128(weights)));
        if constexpr (keep_largest) largest = _mm_max_ps(largest, _mm_cvtepi32_ps(values));
        else _mm_storel_epi64(reinterpret_cast<__m128i*>(batch + i), values);
        p = slice + ends[i + 1] + 1;
    }
    line = p;
    print = sum;
    most = largest;
    return i;
}
#endif

// The lines ends[i] to ends[stop - 1] of the slice, all in one chunk of the
// fingerprint: line ends[k] is line k + line_shift, and its weight is at
// k + weight_shift (modulo 2^64), so that only k moves from line to line. A
// line that starts with a plain number below the visitor's limit costs one
// word and no call: its value waits in the batch, at the line's own index,
// or only the largest is kept, and the visitor takes them at once when the
// run ends or a line of another kind comes, which is read byte by byte
// (other_line_value) and visited alone. On x86-64 two lines are read at a
// time. Returns false when the visitor stops.
template <class Visitor>
bool visit_run(line_walk& walk, const char* slice, std::size_t i, const std::size_t stop,
               const std::uint64_t line_shift, const std::size_t weight_shift, Visitor& visit) {
    constexpr bool wants_largest = requires(std::uint32_t most) { visit.visit_largest(most); };
    constexpr bool has_limit = requires { visit.plain_limit(); };
    std::uint32_t limit = 0;
    if constexpr (has_limit) limit = visit.plain_limit();
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    const std::uint64_t* const weight = walk.digest.weight;
    std::uint64_t sum = walk.digest.chunk_sum;
    std::uint32_t largest = 0;
    const char* p = walk.p;
    std::size_t waiting = i;  // the first line whose value waits in the batch
    const auto hand_on = [&](std::size_t end) {
        return wants_largest || waiting == end || visit_plain(visit, batch + waiting, end - waiting, waiting + line_shift);
    };
    // Line k alone, whose first word and its marks are known, so that no
    // line is looked at twice; false when the visitor stops.
    const auto one_line = [&](std::size_t k, std::uint64_t word, std::uint64_t marks) {
        const char* const start = p;
        const char* const line_end = slice + ends[k];
        p = line_end + 1;
        const bool plain = plain_marks(marks);
        std::uint32_t value = plain ? aligned_value(aligned_digits(word, marks)) : 0;
        if (plain && (!has_limit || value < limit)) [[likely]] {
            sum += std::uint64_t{value} * weight[k + weight_shift];
            if constexpr (wants_largest) largest = std::max(largest, value);
            else batch[k] = value;
            return true;
        }
        if (!hand_on(k)) return false;
        waiting = k + 1;
        std::int32_t other = static_cast<std::int32_t>(value);
        if (!plain && !other_line_value(start, line_end, other)) return true;
        sum += std::uint64_t{static_cast<std::uint32_t>(other)} * weight[k + weight_shift];
        return visit(other, k + line_shift);
    };
    // Lines from i on, one by one, up to the run's end or a plain one from line plain_from on.
    const auto lines_alone = [&](std::size_t plain_from) {
        for (; i < stop; ++i) {
            const std::uint64_t word = load_word(p), marks = not_digit_marks(word);
            if (i >= plain_from && plain_marks(marks)) break;
            if (!one_line(i, word, marks)) return false;
        }
        return true;
    };
#if defined(__x86_64__)
    __m128i print = _mm_setzero_si128();
    // Values below 2^24 are exact as floats, whose max SSE has.
    static_assert(plain_digits <= 7);
    __m128 most = _mm_setzero_ps();
    const __m128i below = _mm_set1_epi32(static_cast<int>(limit));
    for (;;) {
        i = plain_pairs<wants_largest, has_limit>(p, slice, ends, i, stop, weight, weight_shift, batch, below, print,
                                                  most);
        if (i + 2 > stop) break;
        // Lines of other kinds tend to come together, as in padded columns:
        // they go on alone up to the next plain one, and no pair is tried
        // for nothing.
        if (!lines_alone(i + 2)) return false;
    }
    sum += static_cast<std::uint64_t>(_mm_cvtsi128_si64(print) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(print, print)));
    most = _mm_max_ps(most, _mm_shuffle_ps(most, most, 0x01));
    largest = std::max(largest, static_cast<std::uint32_t>(_mm_cvtss_si32(most)));
#endif
    if (!lines_alone(stop)) return false;
    walk.digest.chunk_sum = sum;
    walk.p = p;
    if constexpr (wants_largest) visit.visit_largest(largest);
    return hand_on(stop);
}

#if defined(__x86_64__)
// The lines of a group, eight, one to a 64-bit lane: one AVX-512 register, or
// two AVX2 ones (its first four lines and its last four). Each step below
// comes in both, so that one loop, visit_groups, serves both paths. The
// steps take and give lanes by reference: visit_groups is built for any
// processor, and there a vector passed by value would change the calling
// convention.
struct lane_pair {
    __m256i low, high;
};

// Where the lines of a group start, as offsets in the slice, for AVX2's loads.
struct line_starts {
    std::int64_t at[8];
};

template <scan_path path>
struct group_of {
    using lanes = lane_pair;
    using starts = line_starts;
};
template <>
struct group_of<scan_path::avx512> {
    using lanes = __m512i;
    using starts = __m512i;
};

constexpr bool reads_groups(scan_path path) {
    return path != scan_path::portable;
}

[[gnu::target(MAVEK_AVX512_TARGET)]] inline void splat(__m512i& lanes, std::int64_t value) {
    lanes = _mm512_set1_epi64(value);
}

[[gnu::target("avx2")]] inline void splat(lane_pair& lanes, std::int64_t value) {
    lanes.low = lanes.high = _mm256_set1_epi64x(value);
}

inline void splat(line_starts& starts, std::int64_t value) {
    std::fill(std::begin(starts.at), std::end(starts.at), value);
}

// Where the group's lines start, from its eight line ends: one past the end
// before each. `before` brings the end of the line before the group, in the
// lane where this takes it, and takes the group's last.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void group_starts(const std::int16_t* ends, __m512i& before,
                                                              __m512i& starts) {
    const __m512i ends8 = _mm512_cvtepi16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends)));
    starts = _mm512_add_epi64(_mm512_alignr_epi64(ends8, before, 7), _mm512_set1_epi64(1));
    before = ends8;
}

inline void group_starts(const std::int16_t* ends, line_starts& before, line_starts& starts) {
    starts.at[0] = before.at[7] + 1;
    for (std::size_t k = 1; k < 8; ++k) starts.at[k] = ends[k - 1] + 1;
    before.at[7] = ends[7];
}

// The values of eight lines that start at `starts`: from one gather, and for
// lines padded with spaces, a plus sign or zeros, from a second one past
// them. Bit k of the result says whether lane k holds a plain number.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline unsigned group_values(const char* slice, const __m512i& starts,
                                                                  __m512i& values) {
    const __m512i words = gather_words(slice, starts);
    const __mmask8 plain = plain_values(words, values);
    if (plain == 0xFF) [[likely]] return plain;
    // Its own values, so that the plain ones keep their registers.
    __m512i padded;
    const __mmask8 read = padded_values(slice, starts, words, padded);
    values = padded;
    return read;
}

// The bytes of the words in 32 lanes equal to `byte`, one bit each.
[[gnu::target("avx2")]] inline std::uint64_t byte_bits(const __m256i& words, __m256i byte) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(words, byte)));
}

[[gnu::target("avx2")]] inline std::uint64_t space_bits(const __m256i& words) {
    // Tab to carriage return, or a space: whitespace but the newline, which ends the line.
    const __m256i tab_on = _mm256_sub_epi8(words, _mm256_set1_epi8('\t'));
    const __m256i in_tabs = _mm256_cmpeq_epi8(_mm256_min_epu8(tab_on, _mm256_set1_epi8('\r' - '\t')), tab_on);
    return (static_cast<std::uint32_t>(_mm256_movemask_epi8(in_tabs)) | byte_bits(words, _mm256_set1_epi8(' '))) &
           ~byte_bits(words, _mm256_set1_epi8('\n'));
}

[[gnu::target("avx2")]] inline unsigned group_values(const char* slice, const line_starts& starts,
                                                  lane_pair& values) {
    const __m256i low = gather_words(slice, starts.at), high = gather_words(slice, starts.at + 4);
    const unsigned plain = plain_values(low, values.low) | plain_values(high, values.high) << 4;
    if (plain == 0xFF) [[likely]] return plain;
    const auto both = [](std::uint64_t low_bits, std::uint64_t high_bits) { return low_bits | high_bits << 32; };
    const std::uint64_t at =
        digit_starts(both(space_bits(low), space_bits(high)),
                     both(byte_bits(low, _mm256_set1_epi8('+')), byte_bits(high, _mm256_set1_epi8('+'))),
                     both(byte_bits(low, _mm256_set1_epi8('0')), byte_bits(high, _mm256_set1_epi8('0'))));
    // Lane k starts its digits at the lowest bit of its byte of `at`, or
    // where it started before if it has none (and so stays not plain).
    line_starts digits;
    for (unsigned k = 0; k < 8; ++k)
        digits.at[k] = starts.at[k] + (__builtin_ctzll((at >> 8 * k & 0xFF) | 0x100) & 7);
    return plain_values(gather_words(slice, digits.at), values.low) |
           plain_values(gather_words(slice, digits.at + 4), values.high) << 4;
}

// Whether every value is below the limit.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline bool all_below(const __m512i& values, const __m512i& limit) {
    return _mm512_cmpge_epu64_mask(values, limit) == 0;
}

// Plain values are below 2^31, so the signed compare, the only one AVX2 has, will do.
[[gnu::target("avx2")]] inline bool all_below(const lane_pair& values, const lane_pair& limit) {
    const __m256i below =
        _mm256_and_si256(_mm256_cmpgt_epi64(limit.low, values.low), _mm256_cmpgt_epi64(limit.high, values.high));
    return _mm256_movemask_pd(_mm256_castsi256_pd(below)) == 0xF;
}

// Adds each value times its line's weight (below 2^32) to its lane of the fingerprint.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void add_weighted(__m512i& print, const __m512i& values,
                                                              const std::uint64_t* weights) {
    print = _mm512_add_epi64(print, _mm512_mul_epu32(values, _mm512_loadu_si512(weights)));
}

[[gnu::target("avx2")]] inline void add_weighted(lane_pair& print, const lane_pair& values,
                                                 const std::uint64_t* weights) {
    const auto* const w = reinterpret_cast<const __m256i*>(weights);
    print.low = _mm256_add_epi64(print.low, _mm256_mul_epu32(values.low, _mm256_loadu_si256(w)));
    print.high = _mm256_add_epi64(print.high, _mm256_mul_epu32(values.high, _mm256_loadu_si256(w + 1)));
}

// The sum of the lanes, modulo 2^64.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::uint64_t lane_sum(const __m512i& lanes) {
    return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(lanes));
}

[[gnu::target("avx2")]] inline std::uint64_t lane_sum(const lane_pair& lanes) {
    const __m256i sum = _mm256_add_epi64(lanes.low, lanes.high);
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(half, _mm_unpackhi_epi64(half, half))));
}

// Keeps the largest value of each lane; the largest of all.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void keep_largest(__m512i& largest, const __m512i& values) {
    largest = _mm512_max_epu64(largest, values);
}

[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::uint32_t lane_max(const __m512i& largest) {
    return static_cast<std::uint32_t>(_mm512_reduce_max_epu64(largest));
}

// Plain values are below 2^31 and the lanes' high halves 0: a 32-bit max will do.
[[gnu::target("avx2")]] inline void keep_largest(lane_pair& largest, const lane_pair& values) {
    largest.low = _mm256_max_epi32(largest.low, values.low);
    largest.high = _mm256_max_epi32(largest.high, values.high);
}

[[gnu::target("avx2")]] inline std::uint32_t lane_max(const lane_pair& largest) {
    const __m256i both = _mm256_max_epi32(largest.low, largest.high);
    __m128i most = _mm_max_epi32(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
    most = _mm_max_epi32(most, _mm_unpackhi_epi64(most, most));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(most));
}

// The values as eight 32-bit ones, at `to`, on 32 bytes.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void store_values(std::uint32_t* to, const __m512i& values) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm512_cvtepi64_epi32(values));
}

[[gnu::target("avx2")]] inline void store_values(std::uint32_t* to, const lane_pair& values) {
    // The low halves of the lanes, as [v0 v1 v4 v5 | v2 v3 v6 v7], then in order.
    const __m256i mixed = _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(values.low), _mm256_castsi256_ps(values.high), 0x88));
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm256_permute4x64_epi64(mixed, 0xD8));
}

// The lanes as eight 64-bit values, at `to`, on 64 bytes.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void store_lanes(std::uint64_t* to, const __m512i& values) {
    _mm512_store_si512(to, values);
}

[[gnu::target("avx2")]] inline void store_lanes(std::uint64_t* to, const lane_pair& values) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), values.low);
    _mm256_store_si256(reinterpret_cast<__m256i*>(to + 4), values.high);
}

// The step of visit_block_lines on the paths that read groups: lines eight
// at a time, from ends[i] of the slice's `count` line ends, while at least
// eight are left; i moves past them. A group with a line that does not
// start with a plain number, or with a value not below the visitor's
// plain_limit(), goes line by line, so that the visits stay in order and a
// visitor's stop comes at the same line. The values of plain groups wait in
// a batch and go to the visitor many at a time (visit_plain): a visitor that
// stores to places the values name would otherwise hold up the next group's
// reads, which wait for the stores before them to know their addresses. A visitor that
// wants only the largest value (visit_largest) gets it once. Returns false
// when the visitor stops.
template <scan_path path, class Visitor>
bool visit_groups(line_walk& walk, const char* slice, std::size_t count, std::size_t& i, Visitor& visit) {
    using lanes = typename group_of<path>::lanes;
    constexpr bool wants_largest = requires(std::uint32_t most) { visit.visit_largest(most); };
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    // Only a visitor with a limit pays for comparing with it.
    constexpr bool has_limit = requires { visit.plain_limit(); };
    lanes limit{};
    if constexpr (has_limit) splat(limit, visit.plain_limit());
    // The fingerprint's part of the plain groups in the open chunk, lane by
    // lane. Line ends[k] of that chunk has its weight at weights_at + 8k
    // (modulo 2^64, an address as a number, so that it takes one register),
    // and chunk_end is the first k past it: no group works out where it stands.
    lanes print{};
    std::uintptr_t weights_at = 0;
    std::size_t chunk_end = 0;
    const auto open_chunk = [&](std::size_t k) {
        reach_line(walk.digest, walk.line);
        weights_at = reinterpret_cast<std::uintptr_t>(&weight_of(walk.digest, walk.line)) - k * 8;
        chunk_end = k + static_cast<std::size_t>(walk.digest.next_chunk - walk.line);
    };
    // Moves the lanes' part of the fingerprint to its open chunk.
    const auto fold_print = [&] {
        walk.digest.chunk_sum += lane_sum(print);
        print = lanes{};
    };
    open_chunk(i);
    lanes largest{};
    std::size_t held = 0;
    const auto flush = [&] {
        const std::size_t waiting = std::exchange(held, 0);
        return waiting == 0 || visit_plain(visit, batch, waiting, walk.line - waiting);
    };
    // The starts come from the ends alone, not from p, so that no group
    // waits on the one before.
    typename group_of<path>::starts before;
    splat(before, walk.p - slice - 1);
    for (; i + 8 <= count; i += 8) {
        typename group_of<path>::starts starts;
        lanes values;
        group_starts(ends + i, before, starts);
        if (group_values(slice, starts, values) == 0xFF && (!has_limit || all_below(values, limit))) [[likely]] {
            if (i + 8 <= chunk_end) [[likely]] {
                add_weighted(print, values, reinterpret_cast<const std::uint64_t*>(weights_at + i * 8));
                walk.line += 8;
            } else {
                // A chunk of the fingerprint ends in this group: its lines one by one.
                fold_print();
                alignas(64) std::uint64_t lane[8];
                store_lanes(lane, values);
                for (std::size_t k = 0; k < 8; ++k, ++walk.line)
                    add_value_on(walk.digest, static_cast<std::uint32_t>(lane[k]), walk.line);
                open_chunk(i + 8);
            }
            if constexpr (wants_largest) {
                keep_largest(largest, values);
            } else {
                store_values(batch + held, values);
                if ((held += 8) == batch_size && !flush()) return false;
            }
        } else {
            fold_print();
            if (!flush()) return false;
            if (i > 0) walk.p = slice + ends[i - 1] + 1;
            for (std::size_t k = 0; k < 8; ++k, ++walk.line) {
                reach_line(walk.digest, walk.line);
                if (!visit_line(walk, slice, i + k, visit, walk.line, weight_of(walk.digest, walk.line))) return false;
            }
            open_chunk(i + 8);
        }
    }
    if (!flush()) return false;
    if (i > 0) walk.p = slice + ends[i - 1] + 1;
    fold_print();
    if constexpr (wants_largest) visit.visit_largest(lane_max(largest));
    return true;
}
#endif

// Visits the lines of [walk.p, last), which ends with a newline, slice by
// slice. Returns false when the visitor stopped the pass.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends; the next reads each line's number
// from one 8-byte word, or with AVX-512 or AVX2 eight lines' numbers at once.
// A line that does not start with a plain number (leading space, a sign, a
// long number, no number) is read byte by byte up to its known end, without
// leaving the slice, so that no line format costs the masks again.
template <scan_path path, class Visitor>
bool visit_slices(line_walk& walk, const char* const last, Visitor& visit) {
    std::int16_t* const ends = walk.space.ends;
    std::size_t carried = 0;
    for (const char* slice = walk.p; slice != last;) {
        const auto size = std::min(static_cast<std::size_t>(last - slice), slice_bytes);
        const std::size_t count = carried + write_line_ends<path>(slice, size, ends + carried);
        std::size_t i = 0;
#if defined(__x86_64__)
        if constexpr (reads_groups(path)) {
            if (!visit_groups<path>(walk, slice, count, i, visit)) return false;
            // The lines left, fewer than a group, wait for the next slice's
            // groups, unless this slice ends the block or they are lines that
            // waited already (at offsets below 0): waiting once at most keeps
            // every offset above -slice_bytes.
            if (slice + size != last && (i == count || ends[i] >= 0)) {
                carried = count - i;
                for (std::size_t k = 0; k < carried; ++k)
                    ends[k] = static_cast<std::int16_t>(ends[i + k] - static_cast<std::int16_t>(size));
                slice += size;
                continue;
            }
        }
#endif
        // The lines left, one by one, in runs that end with a chunk of the
        // fingerprint, so that no line checks for the end of its chunk. Line
        // ends[k] is line k + line_shift, and its weight is at k + weight_shift
        // (modulo 2^64), so that only k moves from line to line.
        while (i < count) {
            reach_line(walk.digest, walk.line);
            const std::size_t run = std::min<std::uint64_t>(count - i, walk.digest.next_chunk - walk.line);
            const std::uint64_t line_shift = walk.line - i;
            const std::size_t weight_shift = walk.line % chunk_lines - i;
            walk.line += run;
            if (!visit_run(walk, slice, i, i + run, line_shift, weight_shift, visit)) return false;
            i += run;
        }
        carried = 0;
        slice += size;
    }
    return true;
}

// Visits the lines of [p, last), which ends with a newline, p being where the
// first one's token may start, and carries the line number and fingerprint
// on in `scan`. Both passes run it, so that neither costs more than the other
// on any data. Returns false when the visitor stopped the pass.
template <scan_path path, class Visitor>
bool visit_block_lines(const char* p, const char* const last, line_scan& scan, Visitor& visit, kernel_space& space) {
    line_walk walk{.p = p, .line = scan.line, .digest = scan.digest, .space = space};
    const bool more = visit_slices<path>(walk, last, visit);
    scan.line = walk.line;
    scan.digest = walk.digest;
    return more;
}

}  // namespace mavek
