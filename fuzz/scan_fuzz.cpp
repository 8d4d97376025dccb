// libFuzzer target: arbitrary bytes go through the tool's own block-reading
// scan, on every path, at a block size taken from the input, so that tokens
// and line ends fall across block edges at every position. The visits, the
// hash of the bytes and the counts must equal those of a model written to be
// obviously right.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tally/scan_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // A small block puts its edges across the 64-byte chunks; 8 KiB holds a
    // whole input (libFuzzer makes them up to 4 KiB), as a real block would.
    const std::size_t block_size = 1 + data[0] % 130;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int input = ::memfd_create("fuzz", 0);
    if (input < 0 || ::write(input, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    for (const auto path : {mavek::scan_path::portable, mavek::scan_path::avx2, mavek::scan_path::avx512}) {
        if (path > mavek::fastest_scan_path()) break;  // the paths this processor has
        for (const std::size_t block : {block_size, std::size_t{1} << 13}) {
            const std::string difference =
                mavek::pass_difference(input, bytes, {.block_size = block, .path = path}, 1 << 12);
            if (!difference.empty()) {
                std::fprintf(stderr, "%s\n", difference.c_str());
                std::abort();
            }
        }
    }
    ::close(input);
    return 0;
}
