// The kernel of a pass: every line that ends in a block, found from its known
// end, its number read many bytes at a time where it is plain.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tally/kernel/group_loop.h"
#include "tally/kernel/line_ends.h"
#include "tally/kernel/scalar_loop.h"
#include "tally/kernel/visitor.h"

namespace mavek {

constexpr bool reads_groups(scan_path path) {
    return path != scan_path::portable;
}

// Visits the lines of [walk.p, last), which ends with a newline, slice by
// slice; walk moves past them.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends; the next reads each line's number
// from one 8-byte word, or with AVX-512 or AVX2 eight lines' numbers at once.
// A line that does not start with a plain number (leading space, a sign, a
// long number, no number) is read byte by byte up to its known end, without
// leaving the slice, so that no line format costs the masks again.
template <scan_path path, line_visitor Visitor>
scan_step visit_slices(line_walk& walk, const char* const last, Visitor& visit) {
    std::int16_t* const ends = walk.space.ends;
    std::size_t carried = 0;
    for (const char* slice = walk.p; slice != last;) {
        const auto size = std::min(static_cast<std::size_t>(last - slice), slice_bytes);
        const std::size_t count = carried + write_line_ends<path>(slice, size, ends + carried);
        std::size_t i = 0;
#if defined(__x86_64__)
        if constexpr (reads_groups(path)) {
            if (visit_groups<path>(walk, slice, count, i, visit) == scan_step::stop) return scan_step::stop;
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
        if (visit_lines(walk, slice, i, count, visit) == scan_step::stop) return scan_step::stop;
        carried = 0;
        slice += size;
    }
    return scan_step::go_on;
}

}  // namespace mavek
