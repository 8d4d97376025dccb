// The scan paths and the processor features each needs: the one place where
// target strings are named and the processor is asked what it has.
#pragma once

#include <cstdint>

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

// How the kernel looks at a block: in plain C++, which every processor runs,
// or eight lines at a time with AVX2 or AVX-512. All give the same results.
enum class scan_path { portable, avx2, avx512 };

// What the AVX2 and AVX-512 paths are compiled for. Where a path is compiled
// with one of them, a processor must have every feature it names.
#define MAVEK_AVX2_TARGET "avx2,bmi,popcnt"
#define MAVEK_AVX512_TARGET "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512cd,avx512dq,avx512vbmi2"

// The features of MAVEK_AVX2_TARGET and MAVEK_AVX512_TARGET, one bit each.
enum cpu_feature : std::uint32_t {
    has_avx2 = 1 << 0,
    has_bmi = 1 << 1,
    has_popcnt = 1 << 2,
    has_bmi2 = 1 << 3,
    has_avx512f = 1 << 4,
    has_avx512bw = 1 << 5,
    has_avx512cd = 1 << 6,
    has_avx512dq = 1 << 7,
    has_avx512vbmi2 = 1 << 8,
};

// The fastest path that a processor with these features can run.
scan_path path_for(std::uint32_t features);

// The features of this processor (none but on x86-64).
std::uint32_t cpu_features();

// The fastest path of this processor, or of a build capped at a slower one
// for the tests.
scan_path fastest_scan_path();

}  // namespace mavek
