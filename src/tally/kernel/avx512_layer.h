// The AVX-512 layer: the newline masks and the hash in 64-byte vectors, a
// chunk's line ends in one compress, and eight lines at a time, one to each
// 64-bit lane of a register.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tally/kernel/layer.h"
#include "tally/kernel/number_parse.h"
#include "tally/kernel/x86_intrinsics.h"

#if defined(__x86_64__)
#define MAVEK_AVX512_TARGET "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512cd,avx512dq,avx512vbmi2"

namespace mavek {

struct avx512_layer {
    using lanes = __m512i;

    [[gnu::target(MAVEK_AVX512_TARGET)]] static std::uint64_t newline_mask(const char* chunk) {
        return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(chunk), _mm512_set1_epi8('\n'));
    }

    // The offsets of the newlines compressed in one step, as bytes, which are
    // then widened: one compress of 64 bytes costs half of two of 32 16-bit
    // offsets. 32 are written at once, 64 for more than 32.
    [[gnu::target(MAVEK_AVX512_TARGET)]] static std::size_t chunk_ends(std::uint32_t at, std::uint64_t newlines,
                                                                       std::int16_t* ends) {
        const __m512i offsets =
            _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
                            40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                            17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        const __m512i packed = _mm512_maskz_compress_epi8(newlines, offsets);
        const __m512i base = _mm512_set1_epi16(static_cast<short>(at));
        _mm512_storeu_si512(ends, _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(packed)), base));
        const auto found = static_cast<std::size_t>(__builtin_popcountll(newlines));
        // More than 32 line ends in 64 bytes: lines of one byte.
        if (found > 32) [[unlikely]]
            _mm512_storeu_si512(ends + 32,
                                _mm512_add_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(packed, 1)), base));
        return found;
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static std::uint64_t nh_sum(const char* m, const std::uint32_t* k,
                                                                     std::size_t bytes) {
        __m512i sum = _mm512_setzero_si512();
        for (std::size_t at = 0; at < bytes; at += step_bytes) {
            const __m512i words = _mm512_add_epi32(_mm512_loadu_si512(m + at), _mm512_load_si512(k + at / 4));
            sum = _mm512_add_epi64(sum, _mm512_mul_epu32(words, _mm512_shuffle_epi32(words, _MM_PERM_CDAB)));
        }
        // Added here, as unsigned: the intrinsic's own sum would overflow a signed type.
        alignas(64) std::uint64_t lanes[8];
        _mm512_store_si512(lanes, sum);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
    }

    // Eight plain loads: AVX-512's gather took twice as long as they do on
    // the processor we measured (AMD Zen 5).
    [[gnu::target(MAVEK_AVX512_TARGET)]] static __m128i two_words(const char* slice, const std::int64_t* starts) {
        return _mm_insert_epi64(_mm_cvtsi64_si128(static_cast<long long>(load_word(slice + starts[0]))),
                                static_cast<long long>(load_word(slice + starts[1])), 1);
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static void eight_words(const char* slice, const line_starts& starts,
                                                                 lanes& words) {
        const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(two_words(slice, starts.at)),
                                                    two_words(slice, starts.at + 2), 1);
        const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(two_words(slice, starts.at + 4)),
                                                     two_words(slice, starts.at + 6), 1);
        words = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
    }

    // plain_value eight at a time. A byte that is not a digit is marked 0xFF,
    // so the lowest set bit of a lane is at 8 × its digits, and shifting by
    // its leading zeros plus one right-aligns the digits (zeros come in
    // behind). Then pairs, quads and the value come from multiply-adds.
    [[gnu::target(MAVEK_AVX512_TARGET)]] static unsigned plain_values(const lanes& words, lanes& values) {
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

    [[gnu::target(MAVEK_AVX512_TARGET)]] static std::uint64_t equal(const lanes& words, char byte) {
        return _mm512_cmpeq_epi8_mask(words, _mm512_set1_epi8(byte));
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static padding_marks padding(const lanes& words) {
        const std::uint64_t tabs =
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(words, _mm512_set1_epi8('\t')), _mm512_set1_epi8('\r' - '\t' + 1));
        return {.space = (equal(words, ' ') | tabs) & ~equal(words, '\n'),
                .plus = equal(words, '+'),
                .zero = equal(words, '0')};
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static void splat(lanes& limit, std::uint32_t value) {
        limit = _mm512_set1_epi64(value);
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static bool all_below(const lanes& values, const lanes& limit) {
        return _mm512_cmpge_epu64_mask(values, limit) == 0;
    }

    [[gnu::target(MAVEK_AVX512_TARGET)]] static void store_values(std::uint32_t* to, const lanes& values) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm512_cvtepi64_epi32(values));
    }
};
static_assert(group_layer<avx512_layer>);

}  // namespace mavek
#endif
