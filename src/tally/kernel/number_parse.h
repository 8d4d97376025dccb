// The number at the start of a token, read as strtol reads base 10 and held
// in the signed 32-bit range: byte by byte, in pieces, so that a token split
// between two blocks is never copied; or from one 8-byte word, where it is
// plain, without a branch per byte.
//
// Digits become a value as in the SIMD digit parsing that Daniel Lemire
// published ("Quickly parsing eight digits", 2018; Wojciech Muła and Lemire,
// "Faster number parsing"): each even digit times 10 plus the next makes
// pairs, pairs times 100 plus the next make quads, and quads times 10000 plus
// the next the value. The multipliers below are those steps for every width.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

namespace mavek {

// The POSIX locale's whitespace: space, \t \n \v \f \r.
constexpr bool is_space(char c) {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

// Past 2^32 the magnitude stops growing: it is beyond the 32-bit range either
// way, and it cannot overflow.
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

// The scalar steps multiply a whole word: × pair_weights puts 10 × each
// even byte plus the next in the byte above, and so on for 16 and 32 bits.
inline constexpr std::uint64_t pair_weights = 1 + (10 << 8);
inline constexpr std::uint64_t quad_weights = 1 + (100 << 16);
inline constexpr std::uint64_t half_weights = 1 + (10000ULL << 32);
// The vector steps multiply-add lanes: bytes by (10, 1) into 16-bit pairs,
// then pairs by (100, 1) into 32-bit quads; the last step is × 10000 plus.
inline constexpr short byte_pair_weights = 0x010A;
inline constexpr int word_pair_weights = 0x00010064;

// The 8 bytes at p in memory order, the first in the lowest byte.
inline std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

inline constexpr std::uint64_t each_byte(unsigned char byte) {
    return std::uint64_t{0x0101010101010101} * byte;
}

// A line whose number has 1 to plain_digits digits is read from one word:
// with 8, it could be the start of a longer one.
inline constexpr unsigned plain_digits = 7;

// The top bit of each byte of the word that is not a digit. In each byte,
// adding 0x46 sets it above '9' and subtracting '0' sets it below '0' (the
// hasmore and hasless tests of Sean Eron Anderson's Bit Twiddling Hacks); a
// carry or borrow can only come from a byte that is not a digit, so it
// cannot disturb the first such byte, whose mark is the lowest set.
inline std::uint64_t not_digit_marks(std::uint64_t word) {
    return ((word + each_byte(0x46)) | (word - each_byte('0'))) & each_byte(0x80);
}

// Whether the word starts with a plain number, 1 to plain_digits digits (a
// digit first, and a byte that is not one among the eight), and if so its
// value. The digits, as values 0 to 9, are shifted to the top, which leaves
// zeros as leading digits: with d digits, the lowest mark is bit 8d + 7, and
// the shift 64 - 8d, 7 - (8d + 7) modulo 64. Then each multiplication puts
// the sum of a lane times its weight and the lane above in the upper half of
// the wider lane.
static_assert(plain_digits == 7);
inline bool plain_value(std::uint64_t word, std::uint32_t& value) {
    const std::uint64_t marks = not_digit_marks(word);
    if (marks == 0 || (marks & 0x80) != 0) return false;
    const std::uint64_t aligned = (word - each_byte('0')) << ((7 - __builtin_ctzll(marks)) & 63);
    const std::uint64_t pairs = aligned * pair_weights >> 8;
    const std::uint64_t quads = (pairs & 0x00FF00FF00FF00FF) * quad_weights >> 16;
    value = static_cast<std::uint32_t>((quads & 0x0000FFFF0000FFFF) * half_weights >> 32);
    return true;
}

// The numbers of eight lines whose digits come after spaces, a plus sign or
// leading zeros, as in right-aligned columns, the output of uniq -c or fixed
// widths: where the digits start is found in the lines' first words, and the
// words there are read again. The three steps work on 64-bit masks with one
// bit per byte, eight bits a lane, and each leaves one bit per lane where the
// next part starts. Adding a lane's start bit to a run of ones that starts
// there carries to the first byte past the run; the top bit of each lane is
// kept out of the runs, so no carry reaches the next lane. A lane whose
// digits start past its first word gets a word that is not plain.
inline std::uint64_t digit_starts(std::uint64_t space, std::uint64_t plus, std::uint64_t zero) {
    constexpr std::uint64_t first = each_byte(0x01), below_top = each_byte(0x7F);
    zero &= below_top;
    const std::uint64_t spaces = space & below_top;
    std::uint64_t at = (spaces + first) & ~spaces;     // past the spaces
    at = (at & ~plus) | (at & plus & below_top) << 1;  // past a plus sign
    const std::uint64_t past_zeros = (zero + at) & ~zero;
    // The last leading zero is read as a digit, so that a number of zeros is 0.
    return (past_zeros & at) | (past_zeros & ~at) >> 1;
}

}  // namespace mavek
