// One pass over a mavek file: the value of every line that has a token.
//
// A line ends at a newline byte and nowhere else. Its token is the first run of
// bytes that are not POSIX whitespace; its value is the number the token starts
// with, read as strtol reads base 10 and held in the signed 32-bit range. A line
// without a token has no value and is not visited.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace mavek {

// Large enough that the per-read cost vanishes, small enough to stay in cache.
inline constexpr std::size_t default_block_size = 256 * 1024;

// The POSIX locale's whitespace: space, \t \n \v \f \r.
constexpr bool is_space(char c) {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

// The number at the start of a token, read in pieces so that a token split
// between two blocks is never copied. Past 2^32 the magnitude stops growing:
// it is beyond the 32-bit range either way, and it cannot overflow.
struct number_parse {
    static constexpr std::uint64_t magnitude_cap = std::uint64_t{1} << 32;
    std::uint64_t magnitude = 0;
    bool negative = false;
    bool past_sign = false;  // the token's first byte, the only place for a sign, is behind us
};

// Reads the number's bytes from [first, last). Returns the first byte that is
// not part of the number, or last when the number may go on in the next piece.
inline const char* parse_number(number_parse& number, const char* first, const char* last) {
    if (first != last && !number.past_sign) {
        number.past_sign = true;
        if (*first == '-' || *first == '+') number.negative = *first++ == '-';
    }
    for (; first != last; ++first) {
        const unsigned digit = static_cast<unsigned char>(*first) - unsigned{'0'};
        if (digit > 9) return first;
        number.magnitude = std::min(number.magnitude * 10 + digit, number_parse::magnitude_cap);
    }
    return last;
}

// The value of what parse_number has read, clamped to the signed 32-bit range.
inline std::int32_t number_value(const number_parse& number) {
    constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int32_t>::max();
    const auto magnitude = static_cast<std::int64_t>(number.magnitude);
    return static_cast<std::int32_t>(number.negative ? std::max(-magnitude, lowest) : std::min(magnitude, highest));
}

std::int32_t token_value(std::string_view token);

// Where a pass stands when a block ends, so the next block carries on from there.
struct line_scan {
    enum class phase : unsigned char { leading_space, number, rest_of_line };
    phase at = phase::leading_space;
    std::uint64_t line = 1;
    number_parse number;
};

// Feeds one block to the scan, visiting each line whose number ends in it.
// A number ends at its first byte that is not a digit, so the rest of the line,
// token included, is never looked at byte by byte: memchr jumps to the newline.
template <class Visitor>
void scan_block(line_scan& scan, const char* p, const char* const end, Visitor& visit) {
    using phase = line_scan::phase;
    while (p != end) {
        switch (scan.at) {
            case phase::rest_of_line: {
                const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
                if (newline == nullptr) return;
                p = static_cast<const char*>(newline) + 1;
                ++scan.line;
                scan.at = phase::leading_space;
                break;
            }
            case phase::leading_space:
                if (*p == '\n') {
                    ++scan.line;  // a line without a token: nothing to visit
                    ++p;
                } else if (is_space(*p)) {
                    ++p;
                } else {
                    scan.number = number_parse{};
                    scan.at = phase::number;
                }
                break;
            case phase::number:
                p = parse_number(scan.number, p, end);
                if (p != end) {
                    visit(number_value(scan.number), scan.line);
                    scan.at = phase::rest_of_line;
                }
                break;
        }
    }
}

// Ends the pass: a number that ran up to the end of the file is complete now.
template <class Visitor>
void finish_scan(const line_scan& scan, Visitor& visit) {
    if (scan.at == line_scan::phase::number) visit(number_value(scan.number), scan.line);
}

// Throw tally_error: read_failed, not_rewindable.
void rewind_input(int input);
std::size_t read_block(int input, char* buffer, std::size_t size);

// Reads the open input from its first byte to its end in blocks of block_size
// bytes and calls visit(value, line) once per line that has a token, in file
// order. Memory stays at one block, whatever the length of a line.
template <class Visitor>
void scan_pass(int input, Visitor&& visit, std::size_t block_size = default_block_size) {
    rewind_input(input);
    const auto buffer = std::make_unique_for_overwrite<char[]>(block_size);
    line_scan scan;
    while (const std::size_t got = read_block(input, buffer.get(), block_size))
        scan_block(scan, buffer.get(), buffer.get() + got, visit);
    finish_scan(scan, visit);
}

}  // namespace mavek
