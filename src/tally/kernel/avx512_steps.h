// The AVX-512 steps of the group loop: eight lines at a time, one to each
// 64-bit lane of a register, and the line ends of 64 bytes in one step. The
// lines' starts and the loads of their words are those of avx2_steps.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tally/kernel/avx2_steps.h"
#include "tally/kernel/cpu_paths.h"
#include "tally/kernel/line_ends.h"
#include "tally/kernel/word_digits.h"

#if defined(__x86_64__)
namespace mavek {

template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::uint64_t newline_mask<scan_path::avx512>(const char* chunk) {
    const __m512i bytes = _mm512_loadu_si512(chunk);
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
}

// The words of eight lines, from eight plain loads: AVX-512's gather took
// twice as long as they do on the processor we measured (AMD Zen 5).
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __m512i eight_words(const char* slice, const line_starts& starts) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(four_words(slice, starts.at)),
                              four_words(slice, starts.at + 4), 1);
}

// The numbers of eight lines at once, plain_value eight at a time: lane k of
// words holds the first 8 bytes of a line, lane k of values gets the value
// of the plain number they start with, and bit k of the result says whether
// there is one. A byte that is not a digit is marked 0xFF, so the lowest set
// bit of a lane is at 8 × its digits, and shifting by its leading zeros plus
// one right-aligns the digits (zeros come in behind). Then pairs, quads and
// the value come from multiply-adds, as aligned_value does.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline __mmask8 plain_values(__m512i words, __m512i& values) {
    const __m512i digits = _mm512_sub_epi8(words, _mm512_set1_epi8('0'));
    const __m512i marks = _mm512_movm_epi8(_mm512_cmpge_epu8_mask(digits, _mm512_set1_epi8(10)));
    const __m512i lowest = _mm512_and_si512(marks, _mm512_sub_epi64(_mm512_setzero_si512(), marks));
    // 63 - 8 × digits, or 64 for eight digits or more.
    const __m512i zeros = _mm512_lzcnt_epi64(lowest);
    const __m512i aligned = _mm512_sllv_epi64(digits, _mm512_add_epi64(zeros, _mm512_set1_epi64(1)));
    const __m512i pairs = _mm512_maddubs_epi16(aligned, _mm512_set1_epi16(byte_pair_weights));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(word_pair_weights));
    values = _mm512_add_epi64(_mm512_mul_epu32(quads, _mm512_set1_epi64(10000)), _mm512_srli_epi64(quads, 32));
    // 1 to plain_digits digits: the lowest mark is at the start of byte 1 to 7.
    static_assert(plain_digits == 7);
    return _mm512_test_epi64_mask(lowest, _mm512_set1_epi64(0x0101010101010100));
}

// With AVX-512, each 64 bytes compress the offsets of their newlines in one
// step, as bytes, which are then widened: one compress of 64 bytes costs half
// of two of 32 16-bit offsets. 32 are written at once, 64 for more than 32.
template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::size_t write_chunk_ends<scan_path::avx512>(std::uint32_t at,
                                                                                           std::uint64_t newlines,
                                                                                           std::int16_t* ends) {
    const __m512i offsets = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                            44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                            25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                            5, 4, 3, 2, 1, 0);
    const __m512i packed = _mm512_maskz_compress_epi8(newlines, offsets);
    const __m512i base = _mm512_set1_epi16(static_cast<short>(at));
    _mm512_storeu_si512(ends, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(packed)), base));
    const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
    // More than 32 line ends in 64 bytes: lines of one byte.
    if (found > 32) [[unlikely]]
        _mm512_storeu_si512(ends + 32, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(packed, 1)), base));
    return found;
}

[[gnu::target(MAVEK_AVX512_TARGET)]] inline void splat(__m512i& lanes, std::int64_t value) {
    lanes = _mm512_set1_epi64(value);
}

// The values of eight lines that start at `starts`, and for lines padded
// with spaces, a plus sign or zeros, from words read again past them
// (digit_starts). Bit k of the result says whether lane k holds a plain number.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline unsigned group_values(const char* slice, const line_starts& starts,
                                                                  __m512i& values) {
    const __m512i words = eight_words(slice, starts);
    const __mmask8 plain = plain_values(words, values);
    if (plain == 0xFF) [[likely]] return plain;
    // Whitespace but the newline, which ends the line.
    const std::uint64_t space = (_mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8(' ')) |
                                 _mm512_cmplt_epu8_mask(_mm512_sub_epi8(words, _mm512_set1_epi8('\t')),
                                                        _mm512_set1_epi8('\r' - '\t' + 1))) &
                                ~_mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('\n'));
    const std::uint64_t at = digit_starts(space, _mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('+')),
                                          _mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8('0')));
    // Its own values, so that the plain ones keep their registers.
    __m512i padded;
    const __mmask8 read = plain_values(eight_words(slice, past_padding(starts, at)), padded);
    values = padded;
    return read;
}

// Whether every value is below the limit.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline bool all_below(const __m512i& values, const __m512i& limit) {
    return _mm512_cmpge_epu64_mask(values, limit) == 0;
}

// The values as eight 32-bit ones, at `to`, on 32 bytes.
[[gnu::target(MAVEK_AVX512_TARGET)]] inline void store_values(std::uint32_t* to, const __m512i& values) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm512_cvtepi64_epi32(values));
}

}  // namespace mavek
#endif
