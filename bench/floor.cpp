// The floor of the benchmark: the I/O of mavek-tally's two readings and
// nothing else. Each reading rewinds, read(2)s the file into the same
// page-aligned block of the same size that the tool uses, and counts its
// newlines, so that the block is touched as the tool touches it.
//
//   floor FILE        prints the newlines of each reading
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tally/scan_pass.h"

// As fast as the processor can: AVX2 where it has it, chosen at run time.
[[gnu::target_clones("avx2", "default")]] std::uint64_t newlines_in(const char* bytes, std::size_t size) {
    return static_cast<std::uint64_t>(std::count(bytes, bytes + size, '\n'));
}

int main(int argc, char** argv) {
    const int input = argc == 2 ? ::open(argv[1], O_RDONLY | O_CLOEXEC) : -1;
    const auto block = mavek::make_block(mavek::default_block_size);
    if (input < 0 || !block) {
        std::fputs("usage: floor FILE\n", stderr);
        return 2;
    }
    for (int reading = 1; reading <= 2; ++reading) {
        std::uint64_t newlines = 0;
        if (mavek::rewind_input(input)) return std::perror("floor"), 1;
        for (ssize_t got; (got = mavek::read_block(input, block.get(), mavek::default_block_size)) != 0;) {
            if (got < 0) return std::perror("floor"), 1;
            newlines += newlines_in(block.get(), static_cast<std::size_t>(got));
        }
        std::printf("%llu\n", static_cast<unsigned long long>(newlines));
    }
}
