// The floor of the benchmark: the I/O of mavek-tally's two readings and
// nothing else. Each reading rewinds, read(2)s the file into the same
// page-aligned block of the same size that the tool uses, and counts its
// newlines with the tool's masks, so that the block is touched as the tool
// touches it.
//
//   floor FILE        prints the newlines of each reading
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tally/raw_io.h"
#include "tally/scan_pass.h"

// 64 bytes at a time with the tool's own newline masks, AVX2 or AVX-512
// where the processor has it: the floor must not be slower than the scan it bounds.
template <mavek::scan_layer layer>
std::uint64_t count_newlines(const char* bytes, std::size_t size) {
    std::uint64_t newlines = 0;
    std::size_t at = 0;
    for (; at + mavek::chunk_bytes <= size; at += mavek::chunk_bytes)
        newlines += static_cast<std::uint64_t>(__builtin_popcountll(layer::newline_mask(bytes + at)));
    return newlines + static_cast<std::uint64_t>(std::count(bytes + at, bytes + size, '\n'));
}

#if defined(__x86_64__)
// flatten, as in the tool: the loop is a template compiled without the
// target, into which the masks, compiled with it, are not inlined otherwise;
// each 64 bytes then cost a call (a floor a sixth too slow on (e)).
[[gnu::target(MAVEK_AVX2_TARGET), gnu::flatten]] std::uint64_t count_newlines_avx2(const char* bytes,
                                                                                   std::size_t size) {
    return count_newlines<mavek::avx2_layer>(bytes, size);
}

[[gnu::target(MAVEK_AVX512_TARGET), gnu::flatten]] std::uint64_t count_newlines_avx512(const char* bytes,
                                                                                       std::size_t size) {
    return count_newlines<mavek::avx512_layer>(bytes, size);
}
#endif

std::uint64_t newlines_in(const char* bytes, std::size_t size) {
#if defined(__x86_64__)
    if (mavek::fastest_scan_path() == mavek::scan_path::avx512) return count_newlines_avx512(bytes, size);
    if (mavek::fastest_scan_path() == mavek::scan_path::avx2) return count_newlines_avx2(bytes, size);
#endif
    return count_newlines<mavek::portable_layer>(bytes, size);
}

int main(int argc, char** argv) {
    const int input = argc == 2 ? ::open(argv[1], O_RDONLY | O_CLOEXEC) : -1;
    const auto block = mavek::make_block(mavek::default_block_size());
    if (input < 0 || !block) {
        std::fputs("usage: floor FILE\n", stderr);
        return 2;
    }
    for (int reading = 1; reading <= 2; ++reading) {
        std::uint64_t newlines = 0;
        if (mavek::rewind_input(input)) return std::perror("floor"), 1;
        for (ssize_t got; (got = mavek::read_block(input, block.get(), mavek::default_block_size())) != 0;) {
            if (got < 0) return std::perror("floor"), 1;
            newlines += newlines_in(block.get(), static_cast<std::size_t>(got));
        }
        std::printf("%llu\n", static_cast<unsigned long long>(newlines));
    }
}
