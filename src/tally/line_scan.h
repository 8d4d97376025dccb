// The scan of one line byte by byte: slow, but it can stop anywhere and
// carry on in the next block. It takes the lines that cross a block's edge;
// the fast kernel takes the others.
#pragma once

#include <cstdint>
#include <cstring>

#include "tally/fingerprint.h"
#include "tally/number_parse.h"

namespace mavek {

// Where a pass stands when a block ends, so the next block carries on from there.
struct line_scan {
    enum class phase : unsigned char { leading_space, number, rest_of_line };
    phase at = phase::leading_space;
    bool stopped = false;  // the visitor asked for no more lines
    std::uint64_t line = 1;
    fingerprint digest;  // of the values visited so far
    number_parse number;
};

// One visit, and its part of the fingerprint, on a line of that weight.
template <class Visitor>
bool visit_value(Visitor& visit, std::int32_t value, std::uint64_t line, fingerprint& digest,
                 const std::uint64_t& weight) {
    add_value(digest, static_cast<std::uint32_t>(value), weight);
    return visit(value, line);
}

// The same on any line past the ones visited before.
template <class Visitor>
bool visit_value(Visitor& visit, std::int32_t value, std::uint64_t line, fingerprint& digest) {
    reach_line(digest, line);
    return visit_value(visit, value, line, digest, weight_of(digest, line));
}

// Runs the scan over the part in [p, end) of a line that crosses a block's
// edge: up to and past its newline, or to end. Returns where it stopped, or
// end when the visitor stopped the pass. It never meets a newline before the
// line's token: a line whose newline is in the block while the scan is still
// before its token goes to the fast kernel. A number ends at its first byte
// that is not a digit, so the rest of the line is never looked at byte by
// byte: memchr jumps to the newline.
template <class Visitor>
const char* scan_line(line_scan& scan, const char* p, const char* const end, Visitor& visit) {
    using phase = line_scan::phase;
    while (p != end) {
        switch (scan.at) {
            case phase::rest_of_line: {
                const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
                if (newline == nullptr) return end;
                ++scan.line;
                scan.at = phase::leading_space;
                return static_cast<const char*>(newline) + 1;
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
                    if (!visit_value(visit, number_value(scan.number), scan.line, scan.digest)) {
                        scan.stopped = true;
                        return end;
                    }
                    scan.at = phase::rest_of_line;
                }
                break;
        }
    }
    return end;
}

// Ends the pass: a number that ran up to the end of the file is complete now.
template <class Visitor>
void finish_scan(line_scan& scan, Visitor& visit) {
    if (scan.at == line_scan::phase::number && !visit_value(visit, number_value(scan.number), scan.line, scan.digest))
        scan.stopped = true;
}

}  // namespace mavek
