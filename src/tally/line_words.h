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

inline constexpr std::uint64_t each_byte(unsigned char byte) { return 0x0101010101010101 * byte; }

// How many of the word's first bytes are digits, 0 to 8. In each byte, adding
// 0x46 sets the top bit above '9' and subtracting '0' sets it below '0'; a
// carry or borrow can only come from a byte that is not a digit, so it cannot
// disturb the first non-digit, whose top bit the count stops at.
inline unsigned leading_digits(std::uint64_t word) {
    const std::uint64_t not_digit = ((word + each_byte(0x46)) | (word - each_byte('0'))) & each_byte(0x80);
    return not_digit == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(not_digit)) / 8;
}

// The value of the word's first `digits` bytes, 1 to 8 of them, all digits.
// Shifting them to the top leaves zeros as leading digits; then pairs, quads
// and octets of digits are combined with three multiplications.
inline std::uint32_t leading_value(std::uint64_t word, unsigned digits) {
    std::uint64_t v = (word - each_byte('0')) << (64 - 8 * digits);
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
    return static_cast<std::uint32_t>(v);
}

// Bit i is set when chunk[i] is a newline: plain C++, for any machine.
// The zero-byte test is the exact one (no false hits above a true one), and
// one multiplication gathers the eight top bits of a word into one byte.
inline std::uint64_t newline_mask_portable(const char* chunk) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 8) {
        const std::uint64_t x = load_word(chunk + i) ^ each_byte('\n');
        const std::uint64_t zero = ~(((x & each_byte(0x7F)) + each_byte(0x7F)) | x | each_byte(0x7F));
        mask |= (((zero >> 7) * 0x0102040810204080) >> 56) << i;
    }
    return mask;
}

#if defined(__x86_64__)
// The same with AVX2; only called where the processor has it.
[[gnu::target("avx2")]] inline std::uint64_t newline_mask_avx2(const char* chunk) {
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + 32));
    const auto low_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, newline)));
    const auto high_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, newline)));
    return low_mask | std::uint64_t{high_mask} << 32;
}
#endif

}  // namespace mavek
