// The AVX2 layer: the newline masks and the hash in 32-byte vectors, and
// eight lines at a time as two sets of four 64-bit lanes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tally/kernel/layer.h"
#include "tally/kernel/number_parse.h"
#include "tally/kernel/x86_intrinsics.h"

#if defined(__x86_64__)
#define MAVEK_AVX2_TARGET "avx2,bmi,popcnt"

namespace mavek {

struct avx2_layer {
    struct lanes {
        __m256i low, high;  // a group's first four lines, and its last four
    };

    [[gnu::target(MAVEK_AVX2_TARGET)]] static std::uint64_t newline_mask(const char* chunk) {
        const __m256i newline = _mm256_set1_epi8('\n');
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + 32));
        const auto low_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, newline)));
        const auto high_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, newline)));
        return low_mask | std::uint64_t{high_mask} << 32;
    }

    static std::size_t chunk_ends(std::uint32_t at, std::uint64_t newlines, std::int16_t* ends) {
        return scalar_chunk_ends(at, newlines, ends);
    }

    // Two sums, one for each vector of a step, so that neither waits on the
    // other: twice as fast as one.
    [[gnu::target(MAVEK_AVX2_TARGET)]] static std::uint64_t nh_sum(const char* m, const std::uint32_t* k,
                                                                   std::size_t bytes) {
        __m256i sum[2] = {};
        for (std::size_t at = 0; at < bytes; at += step_bytes) {
#pragma GCC unroll 2
            for (std::size_t v = 0; v < 2; ++v) {
                const __m256i words =
                    _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + at + 32 * v)),
                                     _mm256_load_si256(reinterpret_cast<const __m256i*>(k + at / 4 + 8 * v)));
                sum[v] = _mm256_add_epi64(sum[v], _mm256_mul_epu32(words, _mm256_shuffle_epi32(words, 0xB1)));
            }
        }
        alignas(32) std::uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(sum[0], sum[1]));
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }

    // The words of four lines, from four loads: AVX2's gather was a fifth
    // slower than they are on the processor we measured (AMD Zen 4).
    [[gnu::target(MAVEK_AVX2_TARGET)]] static __m256i four_words(const char* slice, const std::int64_t* starts) {
        const auto word = [&](int k) { return static_cast<long long>(load_word(slice + starts[k])); };
        const __m128i low = _mm_insert_epi64(_mm_cvtsi64_si128(word(0)), word(1), 1);
        const __m128i high = _mm_insert_epi64(_mm_cvtsi64_si128(word(2)), word(3), 1);
        return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }

    [[gnu::target(MAVEK_AVX2_TARGET)]] static void eight_words(const char* slice, const line_starts& starts,
                                                               lanes& words) {
        words = {four_words(slice, starts.at), four_words(slice, starts.at + 4)};
    }

    // plain_value four at a time. AVX2 has neither a 64-bit leading-zero
    // count nor byte masks, so a lane's digits are counted by summing a 1 for
    // each byte below its first mark, and its first `digits` bytes are
    // shifted to the top from there. Then pairs, quads and the value come
    // from multiply-adds.
    [[gnu::target(MAVEK_AVX2_TARGET)]] static unsigned plain_four(__m256i words, __m256i& values) {
        const __m256i digits = _mm256_sub_epi8(words, _mm256_set1_epi8('0'));
        const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits);
        const __m256i marks = _mm256_andnot_si256(digit, _mm256_set1_epi8(-1));
        const __m256i lowest = _mm256_and_si256(marks, _mm256_sub_epi64(_mm256_setzero_si256(), marks));
        // All ones below the lowest mark, 8 × digits of them; all of 64 for none.
        const __m256i below = _mm256_sub_epi64(lowest, _mm256_set1_epi64x(1));
        const __m256i count = _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), _mm256_setzero_si256());
        const __m256i shift = _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(count, 3));
        const __m256i aligned = _mm256_sllv_epi64(digits, shift);
        const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(byte_pair_weights));
        const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(word_pair_weights));
        values = _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(quads, 32));
        // 1 to plain_digits digits: the lowest mark is at the start of byte 1 to 7.
        static_assert(plain_digits == 7);
        const __m256i plain = _mm256_and_si256(lowest, _mm256_set1_epi64x(0x0101010101010100));
        return 0xF & ~static_cast<unsigned>(
                         _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(plain, _mm256_setzero_si256()))));
    }

    [[gnu::target(MAVEK_AVX2_TARGET)]] static unsigned plain_values(const lanes& words, lanes& values) {
        return plain_four(words.low, values.low) | plain_four(words.high, values.high) << 4;
    }

    // The bytes of the eight words equal to `byte`, one bit each.
    [[gnu::target(MAVEK_AVX2_TARGET)]] static std::uint64_t byte_bits(const lanes& words, char byte) {
        const __m256i each = _mm256_set1_epi8(byte);
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(words.low, each))) |
               std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(words.high, each)))}
                   << 32;
    }

    // Tab to carriage return, one bit each.
    [[gnu::target(MAVEK_AVX2_TARGET)]] static std::uint32_t tabs(__m256i half) {
        const __m256i tab_on = _mm256_sub_epi8(half, _mm256_set1_epi8('\t'));
        const __m256i in_tabs = _mm256_cmpeq_epi8(_mm256_min_epu8(tab_on, _mm256_set1_epi8('\r' - '\t')), tab_on);
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(in_tabs));
    }

    [[gnu::target(MAVEK_AVX2_TARGET)]] static padding_marks padding(const lanes& words) {
        const std::uint64_t space =
            (tabs(words.low) | std::uint64_t{tabs(words.high)} << 32 | byte_bits(words, ' ')) & ~byte_bits(words, '\n');
        return {.space = space, .plus = byte_bits(words, '+'), .zero = byte_bits(words, '0')};
    }

    [[gnu::target(MAVEK_AVX2_TARGET)]] static void splat(lanes& limit, std::uint32_t value) {
        limit.low = limit.high = _mm256_set1_epi64x(value);
    }

    // Plain values are below 2^31, so the signed compare, the only one AVX2 has, will do.
    [[gnu::target(MAVEK_AVX2_TARGET)]] static bool all_below(const lanes& values, const lanes& limit) {
        const __m256i below =
            _mm256_and_si256(_mm256_cmpgt_epi64(limit.low, values.low), _mm256_cmpgt_epi64(limit.high, values.high));
        return _mm256_movemask_pd(_mm256_castsi256_pd(below)) == 0xF;
    }

    [[gnu::target(MAVEK_AVX2_TARGET)]] static void store_values(std::uint32_t* to, const lanes& values) {
        // The low halves of the lanes, as [v0 v1 v4 v5 | v2 v3 v6 v7], then in order.
        const __m256i mixed = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(values.low), _mm256_castsi256_ps(values.high), 0x88));
        _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm256_permute4x64_epi64(mixed, 0xD8));
    }
};
static_assert(group_layer<avx2_layer>);

}  // namespace mavek
#endif
