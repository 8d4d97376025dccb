// The scan paths and the processor features each needs: the one place where
// the processor is asked what it has.
#pragma once

#include <cstdint>

namespace mavek {

// How the kernel looks at a block: through the portable layer, which every
// processor runs, or the AVX2 or AVX-512 one. All give the same results.
enum class scan_path { portable, avx2, avx512 };

// The features that the AVX2 and AVX-512 layers are compiled for, one bit
// each: a processor must have every one that its path names.
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

// The features of this processor that may be used (none but on x86-64): as
// glibc reports them, so that its tunables can switch them off for a run
// (GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F runs the AVX2 path).
std::uint32_t cpu_features();

// The fastest path of this processor, asked once.
scan_path fastest_scan_path();

}  // namespace mavek
