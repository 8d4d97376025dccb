// The fast kernel of both passes: the lines that start with a plain number,
// read many bytes at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tally/line_words.h"

namespace mavek {

// Visits the lines of [p, last), which ends with a newline, p being where the
// first one's token may start. Returns at the first line that does not start
// with a plain number (a sign, leading space, no number, a long number), which
// is left to scan_line, or at last; or nullptr when the visitor stopped the pass.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends, four per 64 bytes whether or not
// there are four; the next reads each line's number from one 8-byte word.
// Both passes run it, so that neither costs more than the other on any data.
template <scan_path path, class Visitor>
const char* visit_plain_lines(const char* p, const char* const last, std::uint64_t& line, Visitor& visit) {
    constexpr std::size_t slice_bytes = 4096, ends_written = 4;
    std::uint32_t ends[slice_bytes + ends_written];
    for (const char* slice = p; slice != last;) {
        const auto size = std::min(static_cast<std::size_t>(last - slice), slice_bytes);
        std::size_t count = 0;
        for (std::uint32_t at = 0; at < size; at += chunk_bytes) {
            std::uint64_t newlines = newline_mask<path>(slice + at);
            if (size - at < chunk_bytes) newlines &= low_bits(static_cast<std::ptrdiff_t>(size - at));
            const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
#pragma GCC unroll 4
            for (std::size_t i = 0; i < ends_written; ++i, newlines &= newlines - 1)
                ends[count + i] = at + static_cast<std::uint32_t>(__builtin_ctzll(newlines | 1ULL << 63));
            for (std::size_t i = count + ends_written; newlines != 0; ++i, newlines &= newlines - 1)
                ends[i] = at + static_cast<std::uint32_t>(__builtin_ctzll(newlines));
            count += found;
        }
        for (std::size_t i = 0; i < count; ++i, ++line) {
            const std::uint64_t word = load_word(p);
            const unsigned digits = leading_digits(word);
            if (is_plain_number(digits)) {
                if (!visit(static_cast<std::int32_t>(leading_value(word, digits)), line)) return nullptr;
            } else if (*p != '\n') {
                return p;
            }
            p = slice + ends[i] + 1;
        }
        slice += size;
    }
    return last;
}

}  // namespace mavek
