// The fast kernel of both passes: the lines that start with a plain number,
// read many bytes at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tally/line_words.h"
#include "tally/number_parse.h"

namespace mavek {

// Visits the lines of [p, last), which ends with a newline, p being where the
// first one's token may start. Returns last, or nullptr when the visitor
// stopped the pass.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends, four per 64 bytes whether or not
// there are four; the next reads each line's number from one 8-byte word.
// A line that does not start with a plain number (leading space, a sign, a
// long number, no number) is read byte by byte up to its known end, without
// leaving the slice, so that no line format costs the masks again.
// Both passes run it, so that neither costs more than the other on any data.
template <scan_path path, class Visitor>
const char* visit_plain_lines(const char* p, const char* const last, std::uint64_t& line, Visitor& visit) {
    // 16-bit offsets keep the array at 4 KiB of stack.
    constexpr std::size_t slice_bytes = 2048, ends_written = 4;
    std::uint16_t ends[slice_bytes + ends_written];
    for (const char* slice = p; slice != last;) {
        const auto size = std::min(static_cast<std::size_t>(last - slice), slice_bytes);
        std::size_t count = 0;
        for (std::uint32_t at = 0; at < size; at += chunk_bytes) {
            std::uint64_t newlines = newline_mask<path>(slice + at);
            if (size - at < chunk_bytes) newlines &= low_bits(static_cast<std::ptrdiff_t>(size - at));
            const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
#pragma GCC unroll 4
            for (std::size_t i = 0; i < ends_written; ++i, newlines &= newlines - 1)
                ends[count + i] = static_cast<std::uint16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines | 1ULL << 63)));
            for (std::size_t i = count + ends_written; newlines != 0; ++i, newlines &= newlines - 1)
                ends[i] = static_cast<std::uint16_t>(at + static_cast<std::uint32_t>(__builtin_ctzll(newlines)));
            count += found;
        }
        for (std::size_t i = 0; i < count; ++i, ++line) {
            const char* const line_end = slice + ends[i];
            const std::uint64_t word = load_word(p);
            const unsigned digits = leading_digits(word);
            if (is_plain_number(digits)) {
                if (!visit(static_cast<std::int32_t>(leading_value(word, digits)), line)) return nullptr;
            } else {
                while (p != line_end && is_space(*p)) ++p;
                if (p != line_end) {
                    number_parse number;
                    parse_number(number, p, line_end);
                    if (!visit(number_value(number), line)) return nullptr;
                }
            }
            p = line_end + 1;
        }
        slice += size;
    }
    return last;
}

}  // namespace mavek
