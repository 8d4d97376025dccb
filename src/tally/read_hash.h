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
// vectors the layer has (its nh_sum: a loop over 64-byte steps, one sum for
// each vector of a step, so that no sum waits on the one before), and one
// step of the polynomial.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tally/kernel/layer.h"

namespace mavek {

inline constexpr std::uint64_t hash_prime = (std::uint64_t{1} << 61) - 1;
inline constexpr std::size_t unit_bytes = std::size_t{1} << 16;

struct hash_key {
    alignas(64) std::uint32_t nh[unit_bytes / 4];
    std::uint64_t point;  // r, from 1 to p - 1
};

// A key from the system's random bytes, or, where it has none yet, from the
// clock, the process and where the stack is.
void draw_hash_key(hash_key& key);

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
template <scan_layer layer>
void hash_steps(read_hash& hash, const char* p, std::size_t bytes) {
    while (bytes != 0) {
        const std::size_t take = std::min(bytes, unit_bytes - hash.unit_at);
        hash.unit_sum += layer::nh_sum(p, hash.key->nh + hash.unit_at / 4, take);
        hash.unit_at += take;
        if (hash.unit_at == unit_bytes) close_unit(hash);
        p += take;
        bytes -= take;
    }
}

// The next `size` bytes of the reading.
template <scan_layer layer>
void hash_bytes(read_hash& hash, const char* p, std::size_t size) {
    if (hash.partial_size != 0) {
        const std::size_t take = std::min(size, step_bytes - hash.partial_size);
        std::memcpy(hash.partial + hash.partial_size, p, take);
        p += take, size -= take;
        if ((hash.partial_size += take) < step_bytes) return;
        hash_steps<layer>(hash, hash.partial, step_bytes);
        hash.partial_size = 0;
    }
    const std::size_t whole = size / step_bytes * step_bytes;
    hash_steps<layer>(hash, p, whole);
    std::memcpy(hash.partial, p + whole, size - whole);
    hash.partial_size = size - whole;
}

// The hash of the whole reading: its last step padded with zeros (readings
// of the same length are compared), and its last unit closed.
template <scan_layer layer>
std::uint64_t finish_hash(read_hash& hash) {
    if (hash.partial_size != 0) {
        std::memset(hash.partial + hash.partial_size, 0, step_bytes - hash.partial_size);
        hash_steps<layer>(hash, hash.partial, step_bytes);
    }
    if (hash.unit_at != 0) close_unit(hash);
    return hash.polynomial;
}

}  // namespace mavek
