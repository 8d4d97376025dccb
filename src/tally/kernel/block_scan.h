// The generic scan of a block's complete lines, written once over any layer
// (layer.h): the lines of a slice found from their known ends, their numbers
// read from one 8-byte word each where they are plain, eight lines at a time
// where the layer reads groups, and byte by byte where they are not plain.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tally/kernel/layer.h"
#include "tally/kernel/number_parse.h"
#include "tally/kernel/visitor.h"

namespace mavek {

// The kernel's line ends and waiting values, kept in the read block's
// allocation rather than on the stack, which may be small (ulimit -s). 16-bit
// offsets keep the ends at 4 KiB. On the layers that read groups, the last
// lines of a slice, fewer than a group, wait for the next one: their ends
// come first in its array, at offsets below 0. chunk_ends writes past the
// last entry, but a chunk's writes start at the count before it, at most its
// offset from the slice, and reach 64 entries past that at most: never past
// the array. A line's value may wait at its own index in the batch; groups
// fill it from the start, batch_size at a time.
inline constexpr std::size_t slice_bytes = 2048, carried_most = 7, batch_size = 256;
struct kernel_space {
    std::int16_t ends[carried_most + slice_bytes];
    alignas(64) std::uint32_t batch[carried_most + slice_bytes];
};

// Where the kernel stands in a block: what goes from line to line and from
// slice to slice, kept in registers until the block's lines are done.
struct line_walk {
    const char* p;        // where the next line's token may start
    std::uint64_t line;   // its number
    kernel_space& space;  // the slice's line ends, and values waiting for the visitor
};

// The offsets of the line ends in [slice, slice + size), written from ends
// on; returns how many. Whole chunks, then the part of one that ends the
// slice (the block is followed by readable padding).
template <scan_layer layer>
std::size_t write_line_ends(const char* slice, std::size_t size, std::int16_t* ends) {
    std::size_t count = 0;
    std::uint32_t at = 0;
    for (; at + chunk_bytes <= size; at += chunk_bytes)
        count += layer::chunk_ends(at, layer::newline_mask(slice + at), ends + count);
    if (at < size) {
        const std::uint64_t newlines = layer::newline_mask(slice + at) & ((std::uint64_t{1} << (size - at)) - 1);
        count += layer::chunk_ends(at, newlines, ends + count);
    }
    return count;
}

// The values in [values, values + count), on consecutive lines from `line`.
template <line_visitor Visitor>
scan_step visit_batch(Visitor& visit, const std::uint32_t* values, std::size_t count, std::uint64_t line) {
    return count == 0 ? scan_step::go_on : visit.visit_plain(values, count, line);
}

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

// The lines ends[i] to ends[stop - 1] of the slice, from walk.p on. A line
// that starts with a plain number below the visitor's limit costs one word
// and no call: its value waits in the batch at the line's own index, and the
// visitor takes the waiting ones at once when a line of another kind comes,
// which is read byte by byte and visited alone, or when the lines end.
template <line_visitor Visitor>
scan_step visit_lines(line_walk& walk, const char* slice, std::size_t i, const std::size_t stop, Visitor& visit) {
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    const std::uint64_t line_of_end_0 = walk.line - i;
    std::uint32_t limit = visit.plain_limit();
    const char* p = walk.p;
    std::size_t waiting = i;  // the first line whose value waits in the batch
    for (; i < stop; ++i) {
        const char* const start = p;
        const char* const line_end = slice + ends[i];
        p = line_end + 1;
        std::uint32_t value;
        if (plain_value(load_word(start), value) && value < limit) [[likely]] {
            batch[i] = value;
            continue;
        }
        if (visit_batch(visit, batch + waiting, i - waiting, line_of_end_0 + waiting) == scan_step::stop)
            return scan_step::stop;
        waiting = i + 1;
        std::int32_t other;
        if (!other_line_value(start, line_end, other)) continue;
        if (visit(other, line_of_end_0 + i) == scan_step::stop) return scan_step::stop;
        limit = visit.plain_limit();
    }
    walk.p = p;
    walk.line = line_of_end_0 + stop;
    return visit_batch(visit, batch + waiting, stop - waiting, line_of_end_0 + waiting);
}

// The values of eight lines, and for lines padded with spaces, a plus sign
// or zeros, from words read again where their digits start
// (digit_starts): lane k past the lowest mark of its byte, or where it
// started if it has none (and so stays not plain). Bit k of the result says
// whether lane k holds a plain number.
template <group_layer layer>
unsigned group_values(const char* slice, const line_starts& starts, typename layer::lanes& values) {
    typename layer::lanes words;
    layer::eight_words(slice, starts, words);
    const unsigned plain = layer::plain_values(words, values);
    if (plain == 0xFF) [[likely]]
        return plain;
    const padding_marks marks = layer::padding(words);
    const std::uint64_t at = digit_starts(marks.space, marks.plus, marks.zero);
    line_starts digits;
    for (unsigned k = 0; k < 8; ++k) digits.at[k] = starts.at[k] + (__builtin_ctzll((at >> 8 * k & 0xFF) | 0x100) & 7);
    layer::eight_words(slice, digits, words);
    // Its own values, so that the plain ones keep their registers.
    typename layer::lanes padded;
    const unsigned read = layer::plain_values(words, padded);
    values = padded;
    return read;
}

// Lines eight at a time, from ends[i] of the slice's `count` line ends, while
// at least eight are left; i moves past them. A group with a line that does
// not start with a plain number, or with a value not below the visitor's
// plain_limit(), goes line by line, so that the visits stay in order and a
// stop comes at the same line. The values of plain groups wait in a batch
// and go to the visitor many at a time: a visitor that stores to places the
// values name would otherwise hold up the next group's reads, which wait for
// the stores before them to know their addresses. The starts come from the
// ends alone, not from walk.p, so that no group waits on the one before.
template <group_layer layer, line_visitor Visitor>
scan_step visit_groups(line_walk& walk, const char* slice, std::size_t count, std::size_t& i, Visitor& visit) {
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    typename layer::lanes limit;
    layer::splat(limit, visit.plain_limit());
    std::int64_t before = walk.p - slice - 1;  // the end of the line before the group
    std::size_t held = 0;
    const auto hand_on = [&] {
        const std::size_t count = std::exchange(held, 0);
        return visit_batch(visit, batch, count, walk.line - count);
    };
    for (; i + 8 <= count; i += 8) {
        line_starts starts;
        starts.at[0] = before + 1;
        for (std::size_t k = 1; k < 8; ++k) starts.at[k] = ends[i + k - 1] + 1;
        before = ends[i + 7];
        typename layer::lanes values;
        if (group_values<layer>(slice, starts, values) == 0xFF && layer::all_below(values, limit)) [[likely]] {
            layer::store_values(batch + held, values);
            held += 8;
            walk.line += 8;
            if (held == batch_size && hand_on() == scan_step::stop) return scan_step::stop;
            continue;
        }
        if (hand_on() == scan_step::stop) return scan_step::stop;
        if (i > 0) walk.p = slice + ends[i - 1] + 1;
        if (visit_lines(walk, slice, i, i + 8, visit) == scan_step::stop) return scan_step::stop;
        layer::splat(limit, visit.plain_limit());
    }
    if (i > 0) walk.p = slice + ends[i - 1] + 1;
    return hand_on();
}

// Visits the lines of [walk.p, last), which ends with a newline, slice by
// slice; walk moves past them.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends; the next reads each line's number
// from one 8-byte word, or eight lines' numbers at once. A line that does
// not start with a plain number is read byte by byte up to its known end,
// without leaving the slice, so that no line format costs the masks again.
template <scan_layer layer, line_visitor Visitor>
scan_step visit_slices(line_walk& walk, const char* const last, Visitor& visit) {
    std::int16_t* const ends = walk.space.ends;
    std::size_t carried = 0;
    for (const char* slice = walk.p; slice != last;) {
        const auto size = std::min(static_cast<std::size_t>(last - slice), slice_bytes);
        const std::size_t count = carried + write_line_ends<layer>(slice, size, ends + carried);
        std::size_t i = 0;
        if constexpr (group_layer<layer>) {
            if (visit_groups<layer>(walk, slice, count, i, visit) == scan_step::stop) return scan_step::stop;
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
        if (visit_lines(walk, slice, i, count, visit) == scan_step::stop) return scan_step::stop;
        carried = 0;
        slice += size;
    }
    return scan_step::go_on;
}

}  // namespace mavek
