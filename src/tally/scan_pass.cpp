#include "tally/scan_pass.h"

#include <algorithm>

namespace mavek {

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

scan_path fastest_scan_path() {
    scan_path fastest = scan_path::portable;
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
                               __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
    static const bool avx2 =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    if (avx2) fastest = avx512 ? scan_path::avx512 : scan_path::avx2;
#endif
#if defined(MAVEK_TALLY_PATH_CAP)
    // A build for the tests, which runs a slower path than the processor has.
    fastest = std::min(fastest, scan_path::MAVEK_TALLY_PATH_CAP);
#endif
    return fastest;
}

}  // namespace mavek
