// Many bytes at a time: where the newlines of 64 bytes are, and the number at
// the start of a line, read from one 8-byte word without a branch per byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mavek {

inline constexpr std::size_t chunk_bytes = 64;  // one bit per byte of a 64-bit mask

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

// How many of the word's first bytes are digits, 0 to 8. In each byte, adding
// 0x46 sets the top bit above '9' and subtracting '0' sets it below '0'; a
// carry or borrow can only come from a byte that is not a digit, so it cannot
// disturb the first non-digit, whose top bit the count stops at.
inline unsigned leading_digits(std::uint64_t word) {
    const std::uint64_t not_digit = ((word + each_byte(0x46)) | (word - each_byte('0'))) & each_byte(0x80);
    return not_digit == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(not_digit)) / 8;
}

// A line whose number has 1 to plain_digits digits is read from one word:
// leading_digits says 8 for 8 or more, so 8 could be the start of a longer one.
inline constexpr unsigned plain_digits = 7;

inline bool is_plain_number(unsigned digits) {
    return digits - 1 < plain_digits;
}

// Bits 0 to count - 1, for count below 64.
inline std::uint64_t low_bits(std::ptrdiff_t count) {
    return (std::uint64_t{1} << count) - 1;
}

// The value of the word's first `digits` bytes, 1 to 8 of them, all digits.
// Shifting them to the top leaves zeros as leading digits; then pairs, quads
// and octets of digits are combined with three multiplications.
inline std::uint32_t leading_value(std::uint64_t word, unsigned digits) {
    std::uint64_t v = (word - each_byte('0')) << (64 - 8 * digits);
    v = v * 10 + (v >> 8);
    const std::uint64_t octet = (v & 0x000000FF000000FF) * (100 + (1000000ULL << 32)) +
                                ((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32));
    return static_cast<std::uint32_t>(octet >> 32);
}

// Bit i is set when byte i of the word is zero. The test is the exact one,
// with no false hit above a true one, and one multiplication gathers the
// eight top bits into one byte.
inline std::uint64_t zero_byte_bits(std::uint64_t word) {
    const std::uint64_t zero = ~(((word & each_byte(0x7F)) + each_byte(0x7F)) | word | each_byte(0x7F));
    return ((zero >> 7) * 0x0102040810204080) >> 56;
}

// How to look at 64 bytes at once: with plain C++, or with AVX2 where the
// processor has it. Both give the same masks.
enum class scan_path { portable, avx2 };

// Bit i is set when chunk[i] is a newline.
template <scan_path path>
std::uint64_t newline_mask(const char* chunk);

template <>
inline std::uint64_t newline_mask<scan_path::portable>(const char* chunk) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 8)
        mask |= zero_byte_bits(load_word(chunk + i) ^ each_byte('\n')) << i;
    return mask;
}

#if defined(__x86_64__)
template <>
[[gnu::target("avx2")]] inline std::uint64_t newline_mask<scan_path::avx2>(const char* chunk) {
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + 32));
    const auto low_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, newline)));
    const auto high_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, newline)));
    return low_mask | std::uint64_t{high_mask} << 32;
}
#endif

}  // namespace mavek
