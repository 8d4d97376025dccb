// The layer that every processor runs: plain C++, with SSE2 where it is
// there (every x86-64 processor has it; without it this path takes half as
// long again) and NEON for the hash on arm64. It reads no groups: the
// generic scan reads its lines one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tally/kernel/layer.h"
#include "tally/kernel/number_parse.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace mavek {

// Bit i is set when byte i of the word is zero. The test is the exact one of
// Bit Twiddling Hacks, with no false hit above a true one, and one
// multiplication gathers the eight top bits into one byte: each lands in the
// top byte at a place of its own, as no two partial products overlap there.
inline std::uint64_t zero_byte_bits(std::uint64_t word) {
    const std::uint64_t zero = ~(((word & each_byte(0x7F)) + each_byte(0x7F)) | word | each_byte(0x7F));
    return ((zero >> 7) * 0x0102040810204080) >> 56;
}

// The newline mask in plain C++, eight bytes at a time.
inline std::uint64_t word_newline_mask(const char* chunk) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < chunk_bytes; i += 8)
        mask |= zero_byte_bits(load_word(chunk + i) ^ each_byte('\n')) << i;
    return mask;
}

struct portable_layer {
    static std::uint64_t newline_mask(const char* chunk) {
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

    static std::size_t chunk_ends(std::uint32_t at, std::uint64_t newlines, std::int16_t* ends) {
        return scalar_chunk_ends(at, newlines, ends);
    }

    // One sum for each vector of a step, so that no sum waits on the one
    // before: with four, SSE2 hashes twice as fast as with one.
    static std::uint64_t nh_sum(const char* m, const std::uint32_t* k, std::size_t bytes) {
#if defined(__SSE2__)
        // pmuludq multiplies the low words of two 64-bit lanes: each lane's
        // words by the same swapped (0xB1), on another port than a shift.
        __m128i sum[4] = {};
        for (std::size_t at = 0; at < bytes; at += step_bytes) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < 4; ++v) {
                const __m128i words =
                    _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m + at + 16 * v)),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(k + at / 4 + 4 * v)));
                sum[v] = _mm_add_epi64(sum[v], _mm_mul_epu32(words, _mm_shuffle_epi32(words, 0xB1)));
            }
        }
        alignas(16) std::uint64_t lanes[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes),
                        _mm_add_epi64(_mm_add_epi64(sum[0], sum[1]), _mm_add_epi64(sum[2], sum[3])));
        return lanes[0] + lanes[1];
#elif defined(__ARM_NEON)
        // The even and odd words of four narrowed apart, and multiplied into
        // 64-bit lanes with one umlal.
        uint64x2_t sum[4] = {vdupq_n_u64(0), vdupq_n_u64(0), vdupq_n_u64(0), vdupq_n_u64(0)};
        for (std::size_t at = 0; at < bytes; at += step_bytes) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < 4; ++v) {
                const uint64x2_t words = vreinterpretq_u64_u32(
                    vaddq_u32(vreinterpretq_u32_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(m + at + 16 * v))),
                              vld1q_u32(k + at / 4 + 4 * v)));
                sum[v] = vmlal_u32(sum[v], vmovn_u64(words), vshrn_n_u64(words, 32));
            }
        }
        const uint64x2_t all = vaddq_u64(vaddq_u64(sum[0], sum[1]), vaddq_u64(sum[2], sum[3]));
        return vgetq_lane_u64(all, 0) + vgetq_lane_u64(all, 1);
#else
        std::uint64_t sum = 0;
        for (std::size_t at = 0; at < bytes; at += 8) {
            std::uint32_t words[2];
            std::memcpy(words, m + at, sizeof words);
            sum += std::uint64_t{words[0] + k[at / 4]} * std::uint32_t(words[1] + k[at / 4 + 1]);
        }
        return sum;
#endif
    }
};
static_assert(scan_layer<portable_layer>);

}  // namespace mavek
