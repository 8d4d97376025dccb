// libFuzzer target: arbitrary bytes go through the tool's own block-reading
// scan, on every path, at a block size taken from the input, so that tokens
// and line ends fall across block edges at every position. The result must
// equal that of a model written to be obviously right, not fast.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tally/scan_model.h"
#include "tally/scan_pass.h"
#include "tally/tally_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // A small block puts its edges across the 64-byte chunks; 8 KiB holds a
    // whole input (libFuzzer makes them up to 4 KiB), as a real block would.
    const std::size_t block_size = 1 + data[0] % 130;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const mavek::visits expected = mavek::model_visits(bytes);

    const int input = ::memfd_create("fuzz", 0);
    if (input < 0 || ::write(input, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    for (const auto path : {mavek::scan_path::portable, mavek::scan_path::avx2, mavek::scan_path::avx512}) {
        for (const std::size_t block : {block_size, std::size_t{1} << 13}) {
            mavek::visits seen;
            const mavek::pass_end end = mavek::scan_pass(
                input,
                [&](std::int32_t value, std::uint64_t line) {
                    seen.emplace_back(value, line);
                    return true;
                },
                {block, path});
            if (seen != expected || end.bytes != bytes.size() ||
                end.lines != static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n')))
                std::abort();

            // The first pass: the largest value, or a stop at the first negative one.
            mavek::largest_value largest;
            const bool stopped = mavek::scan_pass(input, largest, {block, path}).stopped;
            const auto first_pass = mavek::model_first_pass(expected);
            if (std::pair(largest.value, largest.line) != first_pass || stopped != (first_pass.first < 0)) std::abort();
        }
    }
    ::close(input);
    return 0;
}
