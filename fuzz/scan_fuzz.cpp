// libFuzzer target: arbitrary bytes go through the tool's own block-reading
// scan, on every path, at a block size taken from the input, so that tokens
// and line ends fall across block edges at every position. The result must
// equal that of a model written to be obviously right, not fast.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tally/scan_pass.h"
#include "tally/tally_file.h"

namespace {

using visits = std::vector<std::pair<std::int32_t, std::uint64_t>>;  // value, line

// Split on newline; a line's token is its first run of non-whitespace; its
// value is what strtoll reads from it, held in the 32-bit range.
visits model(std::string_view bytes) {
    visits expected;
    std::uint64_t line = 1;
    for (std::size_t start = 0; start < bytes.size(); ++line) {
        const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
        const std::string text(bytes.substr(start, end - start));
        const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
        if (first != std::string::npos) {
            const long long value = std::strtoll(text.c_str() + first, nullptr, 10);
            expected.emplace_back(std::clamp<long long>(value, INT32_MIN, INT32_MAX), line);
        }
        start = end + 1;
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // A small block puts its edges across the 64-byte chunks; 8 KiB holds a
    // whole input (libFuzzer makes them up to 4 KiB), as a real block would.
    const std::size_t block_size = 1 + data[0] % 130;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const visits expected = model(bytes);

    const int input = ::memfd_create("fuzz", 0);
    if (input < 0 || ::write(input, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    for (const auto path : {mavek::scan_path::portable, mavek::scan_path::avx2}) {
        for (const std::size_t block : {block_size, std::size_t{1} << 13}) {
            visits seen;
            const mavek::pass_end end = mavek::scan_pass(
                input,
                [&](std::int32_t value, std::uint64_t line) {
                    seen.emplace_back(value, line);
                    return true;
                },
                block, path);
            if (seen != expected || end.bytes != bytes.size() ||
                end.lines != static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n')))
                std::abort();

            // The first pass: the largest value, or a stop at the first negative one.
            const auto negative = std::find_if(expected.begin(), expected.end(), [](auto v) { return v.first < 0; });
            mavek::largest_value largest;
            const bool stopped = mavek::scan_pass(input, largest, block, path).stopped;
            const std::optional<std::pair<std::int32_t, std::uint64_t>> stop =
                stopped ? std::optional(std::pair(largest.value, largest.line)) : std::nullopt;
            if (negative != expected.end() ? stop != *negative : stop.has_value()) std::abort();
            std::int32_t most = 0;
            for (const auto& visit : expected) most = std::max(most, visit.first);
            if (!stopped && largest.value != most) std::abort();
        }
    }
    ::close(input);
    return 0;
}
