#include "tally/fingerprint.h"

#include <ctime>

#include <sys/random.h>
#include <unistd.h>

namespace mavek {
namespace {

// splitmix64: each output a bijective mix of a counter, so a seed gives
// weights that look independent.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = state += 0x9e3779b97f4a7c15;
    z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9;
    z = (z ^ z >> 27) * 0x94d049bb133111eb;
    return z ^ z >> 31;
}

}  // namespace

fingerprint_key random_fingerprint_key() {
    std::uint64_t bits[2];
    // Without waiting: early in a boot the pool may not be ready, and a run
    // must not hang for it. Then a key no file can know in advance will do.
    if (::getrandom(bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t state = static_cast<std::uint64_t>(now.tv_sec) * 1000000007 ^
                              static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(::getpid()) << 40 ^
                              reinterpret_cast<std::uintptr_t>(&now);
        bits[0] = next_random(state);
        bits[1] = next_random(state);
    }
    return {.seed = bits[0], .point = 1 + bits[1] % (fingerprint_prime - 1)};
}

void fill_weights(fingerprint_weights& weights, const fingerprint_key& key) {
    std::uint64_t state = key.seed;
    for (std::size_t i = 0; i < chunk_lines; ++i) weights.weight[i] = next_random(state) >> 32;
}

}  // namespace mavek
