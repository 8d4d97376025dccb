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

void largest_value::operator()(std::int32_t candidate, std::uint64_t line) {
    if (candidate < 0) throw tally_error{.fault = tally_fault::negative_value, .line = line, .value = candidate};
    if (candidate <= value) return;
    value = candidate;
    for (digits = 1; candidate >= 10; candidate /= 10) ++digits;
}

void rewind_input(int input) {
    if (::lseek(input, 0, SEEK_SET) < 0) throw tally_error{.fault = tally_fault::not_rewindable, .system_error = errno};
}

scan_path fastest_scan_path() {
#if defined(__x86_64__)
    static const bool avx2 =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    if (avx2) return scan_path::avx2;
#endif
    return scan_path::portable;
}

std::size_t read_block(int input, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(input, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw tally_error{.fault = tally_fault::read_failed, .system_error = errno};
    }
}

}  // namespace mavek
