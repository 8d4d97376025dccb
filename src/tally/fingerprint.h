// The fingerprint of a reading: which value each line gave, as a hash keyed
// at random for each run, so that two readings that differ anywhere differ in
// it but for a chance that is tiny for every change, and that no file can be
// made to raise in advance.
//
// Line i's value v weighs in as v × w[i mod 1024], w being 1024 random 32-bit
// weights, summed modulo 2^64 over each chunk of 1024 line numbers. For a
// chunk that changed, its sum stays the same for one w[i] at most of the 2^32,
// as a change d of a value on line i has |d × w[i]| < 2^63. The chunks' sums
// are then the coefficients, in line order, of a polynomial modulo the prime
// 2^61 - 1 at a random point: two different sequences of n sums agree at it
// with a chance of at most 2(n + 1) / 2^61. Plain sums of value × line would
// miss a change of 1, -2, 1 on three lines in a row, which no clock or size
// shows where a file is written through a shared map.
//
// A line costs a multiplication and an addition, as a plain sum does, and a
// load; the end of a chunk is checked once per run of lines, and the
// polynomial's work comes once per 1024 lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mavek {

inline constexpr std::uint64_t fingerprint_prime = (std::uint64_t{1} << 61) - 1;
inline constexpr std::uint64_t chunk_lines = 1024;

struct fingerprint_key {
    std::uint64_t seed = 0x6d61766b74616c79;   // of the weights
    std::uint64_t point = 0x1f3d5b79a2c4e608;  // where the polynomial is taken, below the prime
};

// A key from the system's random bytes, or, where it has none yet, from the
// clock, the process and where the stack is.
fingerprint_key random_fingerprint_key();

// The weights of a key, one for each line of a chunk, below 2^32 (64 bits
// wide, so that eight lines take theirs with one load into 64-bit lanes).
struct fingerprint_weights {
    alignas(64) std::uint64_t weight[chunk_lines];
};
void fill_weights(fingerprint_weights& weights, const fingerprint_key& key);

// a × b modulo the prime, for a and b below it, in 32-bit halves so that no
// 128-bit type is needed: 2^61 is 1 modulo the prime, so 2^64 is 8.
constexpr std::uint64_t reduce_mod_prime(std::uint64_t x) {
    x = (x & fingerprint_prime) + (x >> 61);
    return x >= fingerprint_prime ? x - fingerprint_prime : x;
}
constexpr std::uint64_t multiply_mod_prime(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a1 = a >> 32, a0 = a & 0xffffffff, b1 = b >> 32, b0 = b & 0xffffffff;
    const std::uint64_t middle = a1 * b0 + a0 * b1;  // below 2^62, of weight 2^32
    return reduce_mod_prime((a1 * b1 << 3) + (middle >> 29) + ((middle & 0x1fffffff) << 32) +
                            reduce_mod_prime(a0 * b0));
}

struct fingerprint {
    const std::uint64_t* weight = nullptr;
    std::uint64_t point = 0;
    std::uint64_t chunk_sum = 0;             // of the open chunk, modulo 2^64
    std::uint64_t next_chunk = chunk_lines;  // the first line past the open chunk
    std::uint64_t hash = 1;                  // of the chunks before it, after a leading 1 that
                                             // tells a sequence of sums from one with zeros before it
};

// Folds the open chunk into the hash, as two 32-bit coefficients, since its
// sum may be above the prime.
inline void close_chunk(fingerprint& print) {
    print.hash = reduce_mod_prime(multiply_mod_prime(print.hash, print.point) + (print.chunk_sum >> 32));
    print.hash = reduce_mod_prime(multiply_mod_prime(print.hash, print.point) + (print.chunk_sum & 0xffffffff));
    print.chunk_sum = 0;
    print.next_chunk += chunk_lines;
}

// Closes the chunks before the one that holds line: a chunk without values
// closes too, with a sum of 0. Lines come in order, so a caller that reaches
// each line before its value, or a run of lines all in one chunk before the
// first of them, keeps every value in its chunk.
inline void reach_line(fingerprint& print, std::uint64_t line) {
    while (line >= print.next_chunk) [[unlikely]] close_chunk(print);
}

// The weight of a line that the fingerprint has reached.
inline const std::uint64_t& weight_of(const fingerprint& print, std::uint64_t line) {
    return print.weight[line % chunk_lines];
}

// A value, after those of the lines before it, on a line of that weight.
inline void add_value(fingerprint& print, std::uint32_t value, const std::uint64_t& weight) {
    print.chunk_sum += std::uint64_t{value} * weight;
}

// A value on any line past those of the values before it.
inline void add_value_on(fingerprint& print, std::uint32_t value, std::uint64_t line) {
    reach_line(print, line);
    add_value(print, value, weight_of(print, line));
}

// The fingerprint of a whole reading, whose last line is `last`: its chunks
// up to the one that holds it.
inline std::uint64_t finish_fingerprint(fingerprint print, std::uint64_t last) {
    reach_line(print, last);
    close_chunk(print);
    return print.hash;
}

}  // namespace mavek
