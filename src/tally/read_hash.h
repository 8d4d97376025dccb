// A keyed hash of the bytes of a reading, so that two readings of one file
// that differ anywhere are told apart, whatever the change, and no file can
// be made in advance to pass for another: the key is drawn for each run.
//
// NH over 32-bit words, as in UMAC (RFC 4418): the bytes go in units of
// 64 KiB, and each unit m, as 32-bit words, gives
//     NH(m) = sum over j of ((m[2j] + k[2j]) mod 2^32) × ((m[2j+1] + k[2j+1]) mod 2^32), mod 2^64,
// with one key k of 16384 random 32-bit words for every unit. For two units
// of equal length that differ, NH agrees with a chance of at most 2^-32 over
// the key (NH is 2^-32-almost-universal; Black, Halevi, Krawczyk, Krovetz
// and Rogaway, "UMAC: Fast and Secure Message Authentication", 1999). The
// units' results, each as two 32-bit halves, are then the coefficients of a
// polynomial modulo the prime p = 2^61 - 1 at a random point r, which two
// different sequences of n coefficients share with a chance of at most n / p.
// So two readings of B bytes each that differ hash alike with a chance of at
// most 2^-32 + 2 (B / 2^16 + 1) / 2^61: at most 2^-32 (1 + 2^-4) for any
// file below 1 TiB, and 2^-32 (1 + 2^-10) below 16 GiB.
//
// A unit costs one addition and half a multiplication a word, in the widest
// vectors the path has, and one step of the polynomial.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tally/kernel/cpu_paths.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace mavek {

inline constexpr std::uint64_t hash_prime = (std::uint64_t{1} << 61) - 1;
inline constexpr std::size_t unit_bytes = std::size_t{1} << 16;
inline constexpr std::size_t step_bytes = 64;  // what one step of NH takes, on every path

struct hash_key {
    alignas(64) std::uint32_t nh[unit_bytes / 4];
    std::uint64_t point;  // r, from 1 to p - 1
};

// A key from the system's random bytes, or, where it has none yet, from the
// clock, the process and where the stack is. From a seed instead, for tests.
void draw_hash_key(hash_key& key);
void seed_hash_key(hash_key& key, std::uint64_t seed);

// a × b modulo the prime, for a and b below it, in 32-bit halves so that no
// 128-bit type is needed: 2^61 is 1 modulo the prime, so 2^64 is 8.
constexpr std::uint64_t reduce_mod_prime(std::uint64_t x) {
    x = (x & hash_prime) + (x >> 61);
    return x >= hash_prime ? x - hash_prime : x;
}
constexpr std::uint64_t multiply_mod_prime(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a1 = a >> 32, a0 = a & 0xffffffff, b1 = b >> 32, b0 = b & 0xffffffff;
    const std::uint64_t middle = a1 * b0 + a0 * b1;  // below 2^62, of weight 2^32
    return reduce_mod_prime((a1 * b1 << 3) + (middle >> 29) + ((middle & 0x1fffffff) << 32) +
                            reduce_mod_prime(a0 * b0));
}

// NH of `bytes` bytes at m, a multiple of step_bytes, with the key's words
// from k on. A loop takes one step of 64 bytes, into one sum for each vector
// of it, so that no sum waits on the one before: with two sums for AVX2 and
// four for SSE2, each hashes about twice as fast as with one (on a Zen 5).
template <scan_path path>
std::uint64_t nh_sum(const char* m, const std::uint32_t* k, std::size_t bytes);

template <>
inline std::uint64_t nh_sum<scan_path::portable>(const char* m, const std::uint32_t* k, std::size_t bytes) {
#if defined(__SSE2__)
    // SSE2 is part of every x86-64 processor. pmuludq multiplies the low
    // words of two 64-bit lanes: each lane's words by the same swapped
    // (0xB1), on another port than a shift would take.
    __m128i sum[4] = {};
    for (std::size_t at = 0; at < bytes; at += step_bytes) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < 4; ++v) {
            const __m128i words = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m + at + 16 * v)),
                                                _mm_load_si128(reinterpret_cast<const __m128i*>(k + at / 4 + 4 * v)));
            sum[v] = _mm_add_epi64(sum[v], _mm_mul_epu32(words, _mm_shuffle_epi32(words, 0xB1)));
        }
    }
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes),
                    _mm_add_epi64(_mm_add_epi64(sum[0], sum[1]), _mm_add_epi64(sum[2], sum[3])));
    return lanes[0] + lanes[1];
#elif defined(__ARM_NEON)
    // NEON is part of every arm64 processor: the even and odd words of four
    // narrowed apart, and multiplied into 64-bit lanes with one umlal.
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

#if defined(__x86_64__)
template <>
[[gnu::target(MAVEK_AVX2_TARGET)]] inline std::uint64_t nh_sum<scan_path::avx2>(const char* m, const std::uint32_t* k,
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

template <>
[[gnu::target(MAVEK_AVX512_TARGET)]] inline std::uint64_t nh_sum<scan_path::avx512>(const char* m,
                                                                                    const std::uint32_t* k,
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
#endif

// The hash of a reading so far. Units are counted from the reading's first
// byte, whatever the sizes of its reads; the bytes of a step cut by the end
// of a read wait in `partial`.
struct read_hash {
    const hash_key* key = nullptr;
    std::uint64_t unit_sum = 0;    // NH of the open unit so far
    std::size_t unit_at = 0;       // its bytes so far
    std::uint64_t polynomial = 1;  // of the closed units, after a leading 1
    std::size_t partial_size = 0;
    alignas(64) char partial[step_bytes] = {};
};

// Folds the open unit into the polynomial, high half first.
inline void close_unit(read_hash& hash) {
    for (const std::uint64_t half : {hash.unit_sum >> 32, hash.unit_sum & 0xffffffff})
        hash.polynomial = reduce_mod_prime(multiply_mod_prime(hash.polynomial, hash.key->point) + half);
    hash.unit_sum = 0;
    hash.unit_at = 0;
}

// Whole steps, `bytes` of them, from p, unit by unit.
template <scan_path path>
void hash_steps(read_hash& hash, const char* p, std::size_t bytes) {
    while (bytes != 0) {
        const std::size_t take = std::min(bytes, unit_bytes - hash.unit_at);
        hash.unit_sum += nh_sum<path>(p, hash.key->nh + hash.unit_at / 4, take);
        hash.unit_at += take;
        if (hash.unit_at == unit_bytes) close_unit(hash);
        p += take;
        bytes -= take;
    }
}

// The next `size` bytes of the reading.
template <scan_path path>
void hash_bytes(read_hash& hash, const char* p, std::size_t size) {
    if (hash.partial_size != 0) {
        const std::size_t take = std::min(size, step_bytes - hash.partial_size);
        std::memcpy(hash.partial + hash.partial_size, p, take);
        p += take, size -= take;
        if ((hash.partial_size += take) < step_bytes) return;
        hash_steps<path>(hash, hash.partial, step_bytes);
        hash.partial_size = 0;
    }
    const std::size_t whole = size / step_bytes * step_bytes;
    hash_steps<path>(hash, p, whole);
    std::memcpy(hash.partial, p + whole, size - whole);
    hash.partial_size = size - whole;
}

// The hash of the whole reading: its last step padded with zeros (readings
// of the same length are compared), and its last unit closed.
template <scan_path path>
std::uint64_t finish_hash(read_hash& hash) {
    if (hash.partial_size != 0) {
        std::memset(hash.partial + hash.partial_size, 0, step_bytes - hash.partial_size);
        hash_steps<path>(hash, hash.partial, step_bytes);
    }
    if (hash.unit_at != 0) close_unit(hash);
    return hash.polynomial;
}

}  // namespace mavek
