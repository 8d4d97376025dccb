// The scan of one line byte by byte: slow, but it can stop anywhere and
// carry on in the next block. It takes the lines that cross a block's edge;
// the slice loop takes the others.
#pragma once

#include <cstdint>
#include <cstring>

#include "tally/kernel/number_parse.h"
#include "tally/kernel/visitor.h"

namespace mavek {

// Where a pass stands when a block ends, so the next block carries on from there.
struct edge_scan {
    enum class phase : unsigned char { leading_space, number, rest_of_line };
    phase at = phase::leading_space;
    std::uint64_t line = 1;
    number_parse number;
};

// Runs the scan over the part in [p, end) of a line that crosses a block's
// edge: up to and past its newline, or to end; p moves to where it stopped.
// It never meets a newline before the line's token: a line whose newline is
// in the block while the scan is still before its token goes to the slice
// loop. A number ends at its first byte that is not a digit, so the rest of
// the line is never looked at byte by byte: memchr jumps to the newline.
template <line_visitor Visitor>
scan_step scan_edge_line(edge_scan& scan, const char*& p, const char* const end, Visitor& visit) {
    using phase = edge_scan::phase;
    while (p != end) {
        switch (scan.at) {
            case phase::rest_of_line: {
                const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
                if (newline == nullptr) {
                    p = end;
                    break;
                }
                ++scan.line;
                scan.at = phase::leading_space;
                p = static_cast<const char*>(newline) + 1;
                return scan_step::go_on;
            }
            case phase::leading_space:
                if (is_space(*p)) {
                    ++p;
                } else {
                    scan.number = number_parse{};
                    scan.at = phase::number;
                }
                break;
            case phase::number:
                p = parse_number(scan.number, p, end);
                if (p != end) {
                    scan.at = phase::rest_of_line;
                    if (visit(number_value(scan.number), scan.line) == scan_step::stop) return scan_step::stop;
                }
                break;
        }
    }
    return scan_step::go_on;
}

// Ends the pass: a number that ran up to the end of the file is complete now.
template <line_visitor Visitor>
scan_step finish_edge_scan(const edge_scan& scan, Visitor& visit) {
    if (scan.at != edge_scan::phase::number) return scan_step::go_on;
    return visit(number_value(scan.number), scan.line);
}

}  // namespace mavek
