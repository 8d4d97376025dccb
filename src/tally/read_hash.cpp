#include "tally/read_hash.h"

#include <cerrno>
#include <ctime>
#include <iterator>

#include <sys/random.h>
#include <unistd.h>

namespace mavek {
namespace {

// splitmix64: each output a bijective mix of a counter, so that one seed
// gives words that look independent.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = state += 0x9e3779b97f4a7c15;
    z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9;
    z = (z ^ z >> 27) * 0x94d049bb133111eb;
    return z ^ z >> 31;
}

void seed_hash_key(hash_key& key, std::uint64_t seed) {
    for (std::size_t i = 0; i < std::size(key.nh); i += 2) {
        const std::uint64_t bits = next_random(seed);
        key.nh[i] = static_cast<std::uint32_t>(bits);
        key.nh[i + 1] = static_cast<std::uint32_t>(bits >> 32);
    }
    key.point = 1 + next_random(seed) % (hash_prime - 1);
}

}  // namespace

void draw_hash_key(hash_key& key) {
    // The whole key from the system's random bytes, for the bound to hold;
    // without waiting: early in a boot the pool may not be ready, and a run
    // must not hang for it. Then a key that no file can know in advance
    // will do.
    auto* const bytes = reinterpret_cast<char*>(key.nh);
    std::size_t got = 0;
    while (got < sizeof key.nh) {
        const ssize_t more = ::getrandom(bytes + got, sizeof key.nh - got, GRND_NONBLOCK);
        if (more < 0 && errno != EINTR) break;
        if (more > 0) got += static_cast<std::size_t>(more);
    }
    std::uint64_t point;
    if (got == sizeof key.nh && ::getrandom(&point, sizeof point, GRND_NONBLOCK) == sizeof point) {
        key.point = 1 + point % (hash_prime - 1);
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    seed_hash_key(key, static_cast<std::uint64_t>(now.tv_sec) * 1000000007 ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                           static_cast<std::uint64_t>(::getpid()) << 40 ^ reinterpret_cast<std::uintptr_t>(&now));
}

}  // namespace mavek
