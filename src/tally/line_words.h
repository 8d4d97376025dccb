// Many bytes at a time: where the newlines of 64 bytes are, and the number at
// the start of a line, read from one 8-byte word without a branch per byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
// GCC 12 warns inside its own AVX-512 intrinsics, of the undefined vector
// they start from (GCC bug 105593); the code that uses them is not at fault.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
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

// Whether the marks are those of a word that starts with a plain number, 1
// to plain_digits digits: a digit first, and a byte that is not one among
// the eight.
static_assert(plain_digits == 7);
inline bool plain_marks(std::uint64_t marks) {
    return marks != 0 && (marks & 0x80) == 0;
}

// The same for two words at once, with one test of their first bytes.
inline bool plain_marks(std::uint64_t first, std::uint64_t second) {
    return first != 0 && second != 0 && ((first | second) & 0x80) == 0;
}

// The digits of a word with plain marks, as values 0 to 9, shifted to the
// top, which leaves zeros as leading digits: with d digits, the lowest mark
// is bit 8d + 7, and the shift 64 - 8d, 7 - (8d + 7) modulo 64.
inline std::uint64_t aligned_digits(std::uint64_t word, std::uint64_t marks) {
    return (word - each_byte('0')) << ((7 - __builtin_ctzll(marks)) & 63);
}

// The value of aligned digits: pairs, quads and the two halves are combined
// by three multiplications, as in Daniel Lemire's "Quickly parsing eight
// digits" (2018): × (1 + 10 << 8) puts 10 × each even byte plus the next in
// the byte above, and so on for 16 and 32 bits.
inline std::uint32_t aligned_value(std::uint64_t aligned) {
    const std::uint64_t pairs = aligned * (1 + (10 << 8)) >> 8;
    const std::uint64_t quads = (pairs & 0x00FF00FF00FF00FF) * (1 + (100 << 16)) >> 16;
    return static_cast<std::uint32_t>((quads & 0x0000FFFF0000FFFF) * (1 + (10000ULL << 32)) >> 32);
}

// Whether the word starts with a plain number, and if so its value.
inline bool plain_value(std::uint64_t word, std::uint32_t& value) {
    const std::uint64_t marks = not_digit_marks(word);
    if (!plain_marks(marks)) return false;
    value = aligned_value(aligned_digits(word, marks));
    return true;
}

// Bits 0 to count - 1, for count below 64.
inline std::uint64_t low_bits(std::ptrdiff_t count) {
    return (std::uint64_t{1} << count) - 1;
}

// Bit i is set when byte i of the word is zero. The test is the exact one of
// Bit Twiddling Hacks, with no false hit above a true one, and one
// multiplication gathers the eight top bits into one byte: each lands in the
// top byte at a place of its own, as no two partial products overlap there.
inline std::uint64_t zero_byte_bits(std::uint64_t word) {
    const std::uint64_t zero = ~(((word & each_byte(0x7F)) + each_byte(0x7F)) | word | each_byte(0x7F));
    return ((zero >> 7) * 0x0102040810204080) >> 56;
}

// How to look at 64 bytes at once: with plain C++, or with AVX2 or AVX-512
// where the processor has it. All give the same masks; AVX-512 and AVX2
// also read eight lines' numbers at once.
enum class scan_path { portable, avx2, avx512 };

// Bit i is set when chunk[i] is a newline.
template <scan_path path>
std::uint64_t newline_mask(const char* chunk);

// The newline mask in plain C++, eight bytes at a time.
inline std::uint64_t word_newline_mask(const char* chunk) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 8)
        mask |= zero_byte_bits(load_word(chunk + i) ^ each_byte('\n')) << i;
    return mask;
}

// SSE2 is part of every x86-64 processor, so the portable path may use it.
template <>
inline std::uint64_t newline_mask<scan_path::portable>(const char* chunk) {
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + i));
        mask |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)))} << i;
    }
    return mask;
#else
    return word_newline_mask(chunk);
#endif
}

// Whether a path's processors count the bits of a word in one instruction:
// without one, as on x86 before popcnt, the compiler calls a function.
constexpr bool has_popcount(scan_path path) {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
    return path != scan_path::portable;
#else
    (void)path;
    return true;
#endif
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
    std::uint64_t at = (spaces + first) & ~spaces;  // past the spaces
    at = (at & ~plus) | (at & plus & below_top) << 1;  // past a plus sign
    const std::uint64_t past_zeros = (zero + at) & ~zero;
    // The last leading zero is read as a digit, so that a number of zeros is 0.
    return (past_zeros & at) | (past_zeros & ~at) >> 1;
}

// The words of four lines and their values, the AVX2 form of gather_words and
// plain_values below. The words come from four loads: AVX2's gather was a
// fifth slower than they are on the processor we measured (AMD Zen 4). AVX2
// has neither a 64-bit leading-zero count nor byte masks, so a lane's digits
// are counted by summing a 1 for each byte below its first mark, and its
// first `digits` bytes are shifted to the top from there. Bit k of the result
// says whether lane k holds a plain number.
[[gnu::target("avx2")]] inline __m256i gather_words(const char* base, const std::int64_t* starts) {
    const auto word = [&](int k) { return static_cast<long long>(load_word(base + starts[k])); };
    const __m128i low = _mm_insert_epi64(_mm_cvtsi64_si128(word(0)), word(1), 1);
    const __m128i high = _mm_insert_epi64(_mm_cvtsi64_si128(word(2)), word(3), 1);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

[[gnu::target("avx2")]] inline unsigned plain_values(__m256i words, __m256i& values) {
    const __m256i digits = _mm256_sub_epi8(words, _mm256_set1_epi8('0'));
    const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits);
    const __m256i marks = _mm256_andnot_si256(digit, _mm256_set1_epi8(-1));
    const __m256i lowest = _mm256_and_si256(marks, _mm256_sub_epi64(_mm256_setzero_si256(), marks));
    // All ones below the lowest mark, 8 × digits of them; all of 64 for none.
    const __m256i below = _mm256_sub_epi64(lowest, _mm256_set1_epi64x(1));
    const __m256i count = _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), _mm256_setzero_si256());
    const __m256i shift = _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(count, 3));
    const __m256i aligned = _mm256_sllv_epi64(digits, shift);
    const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    values = _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(quads, 32));
    // 1 to plain_digits digits: the lowest mark is at the start of byte 1 to 7.
    static_assert(plain_digits == 7);
    const __m256i plain = _mm256_and_si256(lowest, _mm256_set1_epi64x(0x0101010101010100));
    return 0xF & ~static_cast<unsigned>(
                     _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(plain, _mm256_setzero_si256()))));
}

// The processor features the AVX-512 path is compiled for.
#define MAVEK_AVX512_TARGET "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512cd,avx512dq,avx512vbmi2"

template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::uint64_t newline_mask<scan_path::avx512>(const char* chunk) {
    const __m512i bytes = _mm512_loadu_si512(chunk);
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
}

// The 8-byte words at base + starts[k], in one gather. Written out, because
// the compiler sets the gather's mask with an instruction that waits for the
// gather before: that made each group wait on the last, three times slower.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __m512i gather_words(const char* base, __m512i starts) {
    __m512i words;
    __mmask8 all;
    asm("kmovb %[ones], %[all]\n\t"
        "vpxorq %[words], %[words], %[words]\n\t"
        "vpgatherqq (%[base], %[starts], 1), %[words]%{%[all]%}"
        : [words] "=&v"(words), [all] "=&Yk"(all)
        : [ones] "r"(0xFF), [base] "r"(base), [starts] "v"(starts)
        : "memory");
    return words;
}

// The numbers of eight lines at once, the AVX-512 form of leading_digits and
// leading_value: lane k of words holds the first 8 bytes of a line, lane k
// of values gets the value of the plain number they start with, and bit k of
// the result says whether there is one. A byte that is not a digit is marked
// 0xFF, so the lowest set bit of a lane is at 8 × its digits, and shifting by
// its leading zeros plus one right-aligns the digits (zeros come in behind).
// Then pairs, quads and the two halves are combined by multiply-adds, as in
// leading_value.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __mmask8 plain_values(__m512i words, __m512i& values) {
    const __m512i digits = _mm512_sub_epi8(words, _mm512_set1_epi8('0'));
    const __m512i marks = _mm512_movm_epi8(_mm512_cmpge_epu8_mask(digits, _mm512_set1_epi8(10)));
    const __m512i lowest = _mm512_and_si512(marks, _mm512_sub_epi64(_mm512_setzero_si512(), marks));
    // 63 - 8 × digits, or 64 for eight digits or more.
    const __m512i zeros = _mm512_lzcnt_epi64(lowest);
    const __m512i aligned = _mm512_sllv_epi64(digits, _mm512_add_epi64(zeros, _mm512_set1_epi64(1)));
    const __m512i pairs = _mm512_maddubs_epi16(aligned, _mm512_set1_epi16(0x010A));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));
    values = _mm512_add_epi64(_mm512_mul_epu32(quads, _mm512_set1_epi64(10000)), _mm512_srli_epi64(quads, 32));
    // 1 to plain_digits digits: the lowest mark is at the start of byte 1 to 7.
    static_assert(plain_digits == 7);
    return _mm512_test_epi64_mask(lowest, _mm512_set1_epi64(0x0101010101010100));
}

// The same for lines whose digits come after spaces, a plus sign or zeros
// (digit_starts), from words read again where the digits start.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __mmask8 padded_values(const char* base, const __m512i& starts,
                                                                   const __m512i& words, __m512i& values) {
    // Whitespace but the newline, which ends the line.
    const std::uint64_t space = (_mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8(' ')) |
                                 _mm512_cmplt_epu8_mask(_mm512_sub_epi8(words, _mm512_set1_epi8('\t')),
                                                        _mm512_set1_epi8('\r' - '\t' + 1))) &
                                ~_mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('\n'));
    const std::uint64_t at = digit_starts(space, _mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('+')),
                                          _mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('0')));
    const __m512i offset = _mm512_sad_epu8(
        _mm512_maskz_mov_epi8(at, _mm512_set1_epi64(0x0706050403020100)), _mm512_setzero_si512());
    return plain_values(gather_words(base, _mm512_add_epi64(starts, offset)), values);
}
#endif

}  // namespace mavek
