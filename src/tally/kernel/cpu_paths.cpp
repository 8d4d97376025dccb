#include "tally/kernel/cpu_paths.h"

#if defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
// The header is C: its functions return _Bool, which GCC's C++ takes and
// clang's does not.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#undef _Bool
#define MAVEK_HAS(glibc_name, builtin_name) CPU_FEATURE_ACTIVE(glibc_name)
#else
// Without glibc's view (before 2.33, or another C library) the compiler's,
// which no tunable switches off.
#define MAVEK_HAS(glibc_name, builtin_name) __builtin_cpu_supports(builtin_name)
#endif

namespace mavek {

scan_path path_for(std::uint32_t features) {
    constexpr std::uint32_t avx2 = has_avx2 | has_bmi | has_popcnt;
    constexpr std::uint32_t avx512 =
        avx2 | has_bmi2 | has_avx512f | has_avx512bw | has_avx512cd | has_avx512dq | has_avx512vbmi2;
    if ((features & avx512) == avx512) return scan_path::avx512;
    if ((features & avx2) == avx2) return scan_path::avx2;
    return scan_path::portable;
}

std::uint32_t cpu_features() {
    std::uint32_t features = 0;
#if defined(__x86_64__)
    const auto bit = [&](bool has, cpu_feature feature) {
        if (has) features |= feature;
    };
    bit(MAVEK_HAS(AVX2, "avx2"), has_avx2);
    bit(MAVEK_HAS(BMI1, "bmi"), has_bmi);
    bit(MAVEK_HAS(POPCNT, "popcnt"), has_popcnt);
    bit(MAVEK_HAS(BMI2, "bmi2"), has_bmi2);
    bit(MAVEK_HAS(AVX512F, "avx512f"), has_avx512f);
    bit(MAVEK_HAS(AVX512BW, "avx512bw"), has_avx512bw);
    bit(MAVEK_HAS(AVX512CD, "avx512cd"), has_avx512cd);
    bit(MAVEK_HAS(AVX512DQ, "avx512dq"), has_avx512dq);
    bit(MAVEK_HAS(AVX512_VBMI2, "avx512vbmi2"), has_avx512vbmi2);
#endif
    return features;
}

scan_path fastest_scan_path() {
    static const scan_path fastest = path_for(cpu_features());
    return fastest;
}

}  // namespace mavek
