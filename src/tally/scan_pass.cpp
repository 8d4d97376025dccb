#include "tally/scan_pass.h"

#include <cerrno>

#include <unistd.h>

#include "tally/tally_error.h"

namespace mavek {

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

bool largest_value::operator()(std::int32_t candidate, std::uint64_t at_line) {
    if (candidate < 0) {
        value = candidate;
        line = at_line;
        return false;
    }
    if (candidate <= value) return true;
    value = candidate;
    for (digits = 1; candidate >= 10; candidate /= 10) ++digits;
    return true;
}

std::optional<tally_error> rewind_input(int input) {
    if (::lseek(input, 0, SEEK_SET) < 0)
        return tally_error{.fault = tally_fault::not_rewindable, .system_error = errno};
    return std::nullopt;
}

scan_path fastest_scan_path() {
#if defined(__x86_64__)
    static const bool avx2 =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    if (avx2) return scan_path::avx2;
#endif
    return scan_path::portable;
}

ssize_t read_block(int input, char* buffer, std::size_t size) {
    ssize_t got;
    do got = ::read(input, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace mavek
