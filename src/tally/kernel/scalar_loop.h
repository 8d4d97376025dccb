// Lines one by one from their known ends: the portable path's loop, and the
// loop of every path for the lines that do not fill a group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tally/kernel/line_ends.h"
#include "tally/kernel/number_parse.h"
#include "tally/kernel/visitor.h"
#include "tally/kernel/word_digits.h"

namespace mavek {

// Where the kernel stands in a block: what goes from line to line and from
// slice to slice, kept in registers until the block's lines are done.
struct line_walk {
    const char* p;        // where the next line's token may start
    std::uint64_t line;   // its number
    kernel_space& space;  // the slice's line ends, and values waiting for the visitor
};

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

}  // namespace mavek
