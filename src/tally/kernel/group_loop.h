// Eight lines at a time, for the paths that have the vectors for it: one
// loop over the steps of avx2_steps.h or avx512_steps.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "tally/kernel/avx2_steps.h"
#include "tally/kernel/avx512_steps.h"
#include "tally/kernel/scalar_loop.h"
#include "tally/kernel/visitor.h"

#if defined(__x86_64__)
namespace mavek {

// The lanes of a group's values on each path.
template <scan_path path>
struct group_of {
    using lanes = lane_pair;
};
template <>
struct group_of<scan_path::avx512> {
    using lanes = __m512i;
};

// Lines eight at a time, from ends[i] of the slice's `count` line ends, while
// at least eight are left; i moves past them. A group with a line that does
// not start with a plain number, or with a value not below the visitor's
// plain_limit(), goes line by line, so that the visits stay in order and a
// stop comes at the same line. The values of plain groups wait in a batch
// and go to the visitor many at a time: a visitor that stores to places the
// values name would otherwise hold up the next group's reads, which wait for
// the stores before them to know their addresses. The starts come from the
// ends alone, not from walk.p, so that no group waits on the one before.
template <scan_path path, line_visitor Visitor>
scan_step visit_groups(line_walk& walk, const char* slice, std::size_t count, std::size_t& i, Visitor& visit) {
    using group = group_of<path>;
    const std::int16_t* const ends = walk.space.ends;
    std::uint32_t* const batch = walk.space.batch;
    typename group::lanes limit;
    splat(limit, visit.plain_limit());
    line_starts before;
    splat(before, walk.p - slice - 1);
    std::size_t held = 0;
    const auto hand_on = [&] {
        const std::size_t count = std::exchange(held, 0);
        return visit_batch(visit, batch, count, walk.line - count);
    };
    for (; i + 8 <= count; i += 8) {
        line_starts starts;
        typename group::lanes values;
        group_starts(ends + i, before, starts);
        if (group_values(slice, starts, values) == 0xFF && all_below(values, limit)) [[likely]] {
            store_values(batch + held, values);
            held += 8;
            walk.line += 8;
            if (held == batch_size && hand_on() == scan_step::stop) return scan_step::stop;
            continue;
        }
        if (hand_on() == scan_step::stop) return scan_step::stop;
        if (i > 0) walk.p = slice + ends[i - 1] + 1;
        if (visit_lines(walk, slice, i, i + 8, visit) == scan_step::stop) return scan_step::stop;
        splat(limit, visit.plain_limit());
    }
    if (i > 0) walk.p = slice + ends[i - 1] + 1;
    return hand_on();
}

}  // namespace mavek
#endif
