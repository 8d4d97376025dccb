#include "tally/kernel/cpu_paths.h"

#include <algorithm>

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
    bit(__builtin_cpu_supports("avx2"), has_avx2);
    bit(__builtin_cpu_supports("bmi"), has_bmi);
    bit(__builtin_cpu_supports("popcnt"), has_popcnt);
    bit(__builtin_cpu_supports("bmi2"), has_bmi2);
    bit(__builtin_cpu_supports("avx512f"), has_avx512f);
    bit(__builtin_cpu_supports("avx512bw"), has_avx512bw);
    bit(__builtin_cpu_supports("avx512cd"), has_avx512cd);
    bit(__builtin_cpu_supports("avx512dq"), has_avx512dq);
    bit(__builtin_cpu_supports("avx512vbmi2"), has_avx512vbmi2);
#endif
    return features;
}

scan_path fastest_scan_path() {
    static const scan_path fastest = path_for(cpu_features());
#if defined(MAVEK_TALLY_PATH_CAP)
    // A build for the tests, which runs a slower path than the processor has.
    return std::min(fastest, scan_path::MAVEK_TALLY_PATH_CAP);
#else
    return fastest;
#endif
}

}  // namespace mavek
