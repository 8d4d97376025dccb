// One pass over a mavek file: the value of every line that has a token.
//
// A line ends at a newline byte and nowhere else. Its token is the first run of
// bytes that are not POSIX whitespace; its value is the number the token starts
// with, read as strtol reads base 10 and held in the signed 32-bit range. A line
// without a token has no value and is not visited.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/types.h>

#include "tally/line_words.h"
#include "tally/tally_error.h"

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
    bool stopped = false;  // the visitor asked for no more lines
    std::uint64_t line = 1;
    number_parse number;
};

// Runs the scan over one line, byte by byte: up to and past its newline, or
// to the end of the block. Returns where it stopped, or end when the visitor
// stopped the pass. A number ends at its first byte that is not a digit, so
// the rest of the line, token included, is never looked at byte by byte:
// memchr jumps to the newline.
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
                if (*p == '\n') {
                    ++scan.line;  // a line without a token: nothing to visit
                    return p + 1;
                }
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
                    if (!visit(number_value(scan.number), scan.line)) {
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

// Visits the lines of [p, last), which ends with a newline, p being where the
// first one's token may start. Returns at the first line that does not start
// with a plain number (a sign, leading space, no number, a long number), which
// is left to scan_line, or at last; or nullptr when the visitor stopped the pass.
//
// A branch on each line end would mispredict about once per line, as line
// lengths vary. So a slice is done in two loops of predictable branches:
// one writes the offsets of its line ends, four per 64 bytes whether or not
// there are four; the next reads each line's number from one 8-byte word.
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

// The first pass's visitor: the largest value, with the count of its digits.
// A negative value stops the pass: it can never be counted. value and line
// then tell which and where.
struct largest_value {
    std::int32_t value = 0;
    unsigned digits = 0;
    std::uint64_t line = 0;
    bool operator()(std::int32_t candidate, std::uint64_t at_line);
};

// visit_plain_lines for the first pass, which looks for the largest value
// only. A line can beat it only if its number has at least as many digits,
// which a mask of 64 bytes tells for all its lines at once: so lines are not
// visited one by one, and almost every chunk costs a few dozen instructions.
template <scan_path path>
const char* visit_plain_lines(const char* p, const char* const last, std::uint64_t& line, largest_value& largest) {
    std::uint64_t carried_start = 1;  // p is where a token may start
    for (const char* chunk = p; chunk < last; chunk += chunk_bytes) {
        std::uint64_t newlines = newline_mask<path>(chunk);
        const std::uint64_t digits = digit_mask<path>(chunk);
        std::uint64_t starts = carried_start | newlines << 1;  // bit i: a line starts at chunk[i]
        carried_start = newlines >> 63;
        if (last - chunk < static_cast<std::ptrdiff_t>(chunk_bytes)) {
            starts &= low_bits(last - chunk);
            newlines &= low_bits(last - chunk);
        }
        // Starts of at least `wanted` digits: each digit bit ANDed with the
        // ones after it, reaching into the next 8 bytes. A longer number than
        // plain_digits goes to scan_line anyway, so one more is enough to look for.
        const std::uint64_t next_digits = digit_bits(load_word(chunk + chunk_bytes));
        const unsigned wanted = std::min(largest.digits, plain_digits + 1);
        std::uint64_t long_enough = starts & digits;
        for (unsigned i = 1; i < wanted; ++i) long_enough &= digits >> i | next_digits << (64 - i);
        const std::uint64_t odd = starts & ~digits & ~newlines;  // neither a number nor an empty line
        for (std::uint64_t look = long_enough | odd; look != 0; look &= look - 1) {
            const int at = __builtin_ctzll(look);
            const std::uint64_t word = load_word(chunk + at);
            const unsigned count = leading_digits(word);
            if (!is_plain_number(count)) {
                line += static_cast<std::uint64_t>(__builtin_popcountll(newlines & low_bits(at)));
                return chunk + at;
            }
            largest(static_cast<std::int32_t>(leading_value(word, count)), line);  // never negative: no sign
        }
        line += static_cast<std::uint64_t>(__builtin_popcountll(newlines));
    }
    return last;
}

// Feeds one block, followed by 2 * chunk_bytes readable bytes, to the scan. The
// lines that end in it go to visit_plain_lines; the line the last block left
// open, the one this block leaves open, and odd lines go to scan_line.
template <scan_path path, class Visitor>
void scan_block(line_scan& scan, const char* p, const char* const end, Visitor& visit) {
    const void* last_newline = ::memrchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* const complete = last_newline ? static_cast<const char*>(last_newline) + 1 : p;
    while (p != end) {
        if (scan.at == line_scan::phase::leading_space && p < complete) {
            p = visit_plain_lines<path>(p, complete, scan.line, visit);
            if (p == nullptr) {
                scan.stopped = true;
                return;
            }
        }
        p = scan_line(scan, p, end, visit);
    }
}

// Ends the pass: a number that ran up to the end of the file is complete now.
template <class Visitor>
void finish_scan(line_scan& scan, Visitor& visit) {
    if (scan.at == line_scan::phase::number && !visit(number_value(scan.number), scan.line)) scan.stopped = true;
}

// How a pass ended. Two passes over one unchanged file end alike.
struct pass_end {
    std::uint64_t bytes = 0;             // read from the input
    std::uint64_t lines = 0;             // newline bytes read
    bool stopped = false;                // the visitor stopped it before the end
    std::optional<tally_error> failure;  // not_rewindable, out_of_memory or read_failed
};

std::optional<tally_error> rewind_input(int input);

// read(2), retried when a signal interrupts it.
ssize_t read_block(int input, char* buffer, std::size_t size);

struct free_block {
    void operator()(char* block) const noexcept { std::free(block); }
};

template <scan_path path, class Visitor>
pass_end scan_blocks(int input, Visitor& visit, std::size_t block_size) {
    pass_end end{.failure = rewind_input(input)};
    if (end.failure) return end;
    // Zeroed, so that the padding the kernels read past a block holds no garbage.
    const std::unique_ptr<char, free_block> buffer{static_cast<char*>(std::calloc(block_size + 2 * chunk_bytes, 1))};
    if (!buffer) {
        end.failure = tally_error{.fault = tally_fault::out_of_memory};
        return end;
    }
    line_scan scan;
    for (;;) {
        const ssize_t got = read_block(input, buffer.get(), block_size);
        if (got < 0) {
            end.failure = tally_error{.fault = tally_fault::read_failed, .system_error = errno};
            break;
        }
        if (got == 0) {
            finish_scan(scan, visit);
            break;
        }
        end.bytes += static_cast<std::uint64_t>(got);
        scan_block<path>(scan, buffer.get(), buffer.get() + got, visit);
        if (scan.stopped) break;
    }
    end.lines = scan.line - 1;
    end.stopped = scan.stopped;
    return end;
}

#if defined(__x86_64__)
// flatten inlines the whole pass into this one function, so that the AVX2
// code is inlined too: it cannot be inlined into a function compiled without.
template <class Visitor>
[[gnu::target("avx2,bmi,popcnt"), gnu::flatten]] pass_end scan_blocks_avx2(int input, Visitor& visit,
                                                                           std::size_t block_size) {
    return scan_blocks<scan_path::avx2>(input, visit, block_size);
}
#endif

scan_path fastest_scan_path();

// Reads the open input from its first byte to its end in blocks of block_size
// bytes and calls visit(value, line) once per line that has a token, in file
// order, until visit returns false. Memory stays at one block, whatever the
// length of a line. Both paths give the same visits; a path the processor
// lacks falls back to portable.
template <class Visitor>
pass_end scan_pass(int input, Visitor&& visit, std::size_t block_size = default_block_size,
                   scan_path path = fastest_scan_path()) {
#if defined(__x86_64__)
    if (path == scan_path::avx2 && fastest_scan_path() == scan_path::avx2)
        return scan_blocks_avx2(input, visit, block_size);
#endif
    return scan_blocks<scan_path::portable>(input, visit, block_size);
}

}  // namespace mavek
