#include "tally/scan_pass.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "tally/tally_error.h"

namespace mavek {

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

std::optional<tally_error> rewind_input(int input) {
    if (::lseek(input, 0, SEEK_SET) < 0)
        return tally_error{.fault = tally_fault::not_rewindable, .system_error = errno};
    return std::nullopt;
}

std::unique_ptr<char, free_block> make_block(std::size_t block_size) {
    // Of the exact size, not rounded up to pages, so that a write past the
    // kernel's space is caught by the address sanitizer.
    const std::size_t size = kernel_space_at(block_size) + sizeof(kernel_space);
    void* memory = nullptr;
    if (::posix_memalign(&memory, 4096, size) != 0) return nullptr;
    std::unique_ptr<char, free_block> block{static_cast<char*>(memory)};
    std::memset(block.get(), 0, size);
    return block;
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

ssize_t read_block(int input, char* buffer, std::size_t size) {
    ssize_t got;
    do got = ::read(input, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace mavek
