// The number at the start of a token, read as strtol reads base 10 and held in
// the signed 32-bit range, in pieces, so that a token split between two blocks
// is never copied.
#pragma once

#include <algorithm>
#include <cstdint>
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

}  // namespace mavek
