// The fast kernel of both passes: every line that ends in a block, found from
// its known end, its number read many bytes at a time where it is plain.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tally/line_scan.h"
#include "tally/line_words.h"
#include "tally/number_parse.h"

namespace mavek {

// Values of plain numbers on consecutive lines, for the AVX-512 path, which
// reads eight at a time. A visitor may take many at once with
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

// The offsets of the line ends in [slice, slice + size), written from ends
// on; returns how many. Four are written per 64 bytes whether or not there
// are four, unrolled, so that the branch of the loop for more is seldom
// taken; where there are fewer, the extra entries are past the count and
// overwritten by the next chunk. The top bit set in the mask gives them an
// offset (63) without a branch, as ctz of 0 is undefined.
template <scan_path path>
std::size_t write_line_ends(const char* slice, std::size_t size, std::int16_t* ends) {
    constexpr std::size_t ends_written = 4;
    std::size_t count = 0;
    for (std::uint32_t at = 0; at < size; at += chunk_bytes) {
        std::uint64_t newlines = newline_mask<path>(slice + at);
        if (size - at < chunk_bytes) newlines &= low_bits(static_cast<std::ptrdiff_t>(size - at));
        std::size_t found = 0;
        if constexpr (has_popcount(path)) found = static_cast<std::size_t>(__builtin_popcountll(newlines));
#pragma GCC unroll 4
        for (std::size_t i = 0; i < ends_written; ++i, newlines &= newlines - 1) {
            ends[count + i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines | 1ULL << 63)));
            if constexpr (!has_popcount(path)) found += newlines != 0;
        }
        for (std::size_t i = count + ends_written; newlines != 0; ++i, newlines &= newlines - 1) {
            ends[i] = static_cast<std::int16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines)));
            if constexpr (!has_popcount(path)) ++found;
        }
        count += found;
    }
    return count;
}

// The kernel's line ends and waiting values, kept in the read block's
// allocation rather than on the stack, which may be small (ulimit -s). 16-bit
// offsets keep the ends at 4 KiB. On the AVX-512 path, the last lines of a
// slice, fewer than a group, wait for the next one: their ends come first in
// its array, at offsets below 0. write_line_ends writes past the last entry,
// but a chunk's writes start at the count before it, at most its offset from
// the slice, and reach 64 entries past that at most: never past the array.
inline constexpr std::size_t slice_bytes = 2048, carried_most = 7, batch_size = 256;
struct kernel_space {
    std::int16_t ends[carried_most + slice_bytes];
    alignas(64) std::uint32_t batch[batch_size];
    fingerprint_weights weights;
};

#if defined(__x86_64__)
// With AVX-512, each 64 bytes compress the offsets of their newlines in one
// step, as bytes, which are then widened: one compress of 64 bytes costs half
// of two of 32 16-bit offsets. 32 are written at once, 64 for more than 32.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::size_t write_chunk_ends(std::uint32_t at, std::uint64_t newlines,
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

template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::size_t write_line_ends<scan_path::avx512>(const char* slice,
                                                                                          std::size_t size,
                                                                                          std::int16_t* ends) {
    // Whole chunks, then the part of one that ends the slice.
    std::size_t count = 0;
    std::uint32_t at = 0;
    for (; at + chunk_bytes <= size; at += chunk_bytes)
        count += write_chunk_ends(at, newline_mask<scan_path::avx512>(slice + at), ends + count);
    if (at < size) {
        const std::uint64_t newlines = newline_mask<scan_path::avx512>(slice + at);
        count += write_chunk_ends(at, newlines & low_bits(static_cast<std::ptrdiff_t>(size - at)), ends + count);
    }
    return count;
}

#endif

// Where the kernel stands: what goes from line to line and from slice to
// slice, kept in registers until a block's lines are done.
struct line_walk {
    const char* p;             // where the next line's token may start
    std::uint64_t line;        // its number
    fingerprint digest;
    kernel_space& space;       // the slice's line ends, and values waiting for the visitor
};

// One line from its known end, ends[i] of the slice: a plain number from one
// word, any other line byte by byte. Returns false when the visitor stops.
// The fingerprint must have reached the line, `line`, whose weight is
// `weight`; walk.line is the caller's to move.
template <class Visitor>
bool visit_line(line_walk& walk, const char* slice, std::size_t i, Visitor& visit, std::uint64_t line,
                const std::uint64_t& weight) {
    const char* const line_end = slice + walk.space.ends[i];
    const char* p = walk.p;
    const std::uint64_t word = load_word(p);
    const unsigned digits = leading_digits(word);
    bool more = true;
    if (is_plain_number(digits)) {
        more = visit_value(visit, static_cast<std::int32_t>(leading_value(word, digits)), line, walk.digest, weight);
    } else {
        while (p != line_end && is_space(*p)) ++p;
        if (p != line_end) {
            number_parse number;
            parse_number(number, p, line_end);
            more = visit_value(visit, number_value(number), line, walk.digest, weight);
        }
    }
    walk.p = line_end + 1;
    return more;
}

#if defined(__x86_64__)
// Moves the lanes' part of the fingerprint to its open chunk.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void fold_print(fingerprint& digest, __m512i& print) {
    digest.chunk_sum += static_cast<std::uint64_t>(_mm512_reduce_add_epi64(print));
    print = _mm512_setzero_si512();
}

// The values of eight lines that start at `starts`: from one gather, and for
// lines padded with spaces, a plus sign or zeros, from a second one past
// them. Bit k of the result says whether lane k holds a plain number.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __mmask8 group_values(const char* slice, __m512i starts,
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

// The AVX-512 step of visit_block_lines: lines eight at a time, from ends[i]
// of the slice's `count` line ends, while at least eight are left; i moves
// past them. A group with a line that does not start with a plain number, or
// with a value not below the visitor's plain_limit(), goes line by line, so
// that the visits stay in order and a visitor's stop comes at the same line.
// The values of plain groups wait in a batch and go to the visitor many at a
// time (visit_plain): a visitor that stores to places the values name would
// otherwise hold up the next gather, which waits for every store before it to
// know its address. A visitor that wants only the largest value
// (visit_largest) gets it once. Returns false when the visitor stops.
template <class Visitor>
[[gnu::target(MAVEK_AVX512_TARGET)]] bool visit_groups(line_walk& walk, const char* slice, std::size_t count,
                                                       std::size_t& i, Visitor& visit) {
    constexpr bool wants_largest = requires(std::uint32_t most) { visit.visit_largest(most); };
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    // Only a visitor with a limit pays for comparing with it.
    constexpr bool has_limit = requires { visit.plain_limit(); };
    __m512i limit = _mm512_setzero_si512();
    if constexpr (has_limit) limit = _mm512_set1_epi64(visit.plain_limit());
    // The fingerprint's part of the plain groups in the open chunk, lane by
    // lane. Line ends[k] of that chunk has its weight at weights_at + 8k
    // (modulo 2^64, an address as a number, so that it takes one register),
    // and chunk_end is the first k past it: no group works out where it stands.
    __m512i print = _mm512_setzero_si512();
    std::uintptr_t weights_at = 0;
    std::size_t chunk_end = 0;
    const auto open_chunk = [&](std::size_t k) {
        reach_line(walk.digest, walk.line);
        weights_at = reinterpret_cast<std::uintptr_t>(&weight_of(walk.digest, walk.line)) - k * 8;
        chunk_end = k + static_cast<std::size_t>(walk.digest.next_chunk - walk.line);
    };
    open_chunk(i);
    __m512i largest = _mm512_setzero_si512();
    std::size_t held = 0;
    const auto flush = [&] {
        const std::size_t waiting = std::exchange(held, 0);
        return waiting == 0 || visit_plain(visit, batch, waiting, walk.line - waiting);
    };
    // Lane 7 holds the end of the line before the group. The starts come from
    // the ends alone, not from p, so that no group waits on the one before.
    __m512i before = _mm512_set1_epi64(walk.p - slice - 1);
    for (; i + 8 <= count; i += 8) {
        const __m512i ends8 = _mm512_cvtepi16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends + i)));
        const __m512i starts = _mm512_add_epi64(_mm512_alignr_epi64(ends8, before, 7), _mm512_set1_epi64(1));
        before = ends8;
        __m512i values;
        if (group_values(slice, starts, values) == 0xFF && (!has_limit || _mm512_cmpge_epu64_mask(values, limit) == 0))
            [[likely]] {
            if (i + 8 <= chunk_end) [[likely]] {
                const __m512i weights = _mm512_loadu_si512(reinterpret_cast<const void*>(weights_at + i * 8));
                print = _mm512_add_epi64(print, _mm512_mul_epu32(values, weights));
                walk.line += 8;
            } else {
                // A chunk of the fingerprint ends in this group: its lines one by one.
                fold_print(walk.digest, print);
                alignas(64) std::uint64_t lane[8];
                _mm512_store_si512(lane, values);
                for (std::size_t k = 0; k < 8; ++k, ++walk.line)
                    add_value_on(walk.digest, static_cast<std::uint32_t>(lane[k]), walk.line);
                open_chunk(i + 8);
            }
            if constexpr (wants_largest) {
                largest = _mm512_max_epu64(largest, values);
            } else {
                _mm256_store_si256(reinterpret_cast<__m256i*>(batch + held), _mm512_cvtepi64_epi32(values));
                if ((held += 8) == batch_size && !flush()) return false;
            }
        } else {
            fold_print(walk.digest, print);
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
    fold_print(walk.digest, print);
    if constexpr (wants_largest) visit.visit_largest(static_cast<std::uint32_t>(_mm512_reduce_max_epu64(largest)));
    return true;
}
#endif

// Visits the lines of [walk.p, last), which ends with a newline, slice by
// slice. Returns false when the visitor stopped the pass.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends; the next reads each line's number
// from one 8-byte word, or with AVX-512 eight lines' numbers from one gather.
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
        if constexpr (path == scan_path::avx512) {
            if (!visit_groups(walk, slice, count, i, visit)) return false;
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
            for (const std::size_t stop = i + run; i < stop; ++i) {
                const std::uint64_t& weight = walk.digest.weight[i + weight_shift];
                if (!visit_line(walk, slice, i, visit, i + line_shift, weight)) return false;
            }
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
