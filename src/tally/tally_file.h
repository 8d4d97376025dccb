// Totals of a mavek file: how many lines carry each value from 1 to the largest.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/stat.h>

#include "tally/scan_pass.h"
#include "tally/status_line.h"
#include "tally/tally_error.h"

namespace mavek {

// One counter per value from 0 to the largest value. The counters are 32-bit,
// half the memory and cache of 64-bit ones; a counter that wraps carries into
// `high`, which is made on the first wrap only: that takes 4 Gi lines, a file
// of 8 GiB at the least. calloc hands out zeroed pages that take memory only
// once counting touches them.
struct tally_table {
    struct free_counters {
        void operator()(std::uint32_t* counters) const noexcept { std::free(counters); }
    };
    std::unique_ptr<std::uint32_t[], free_counters> counters, high;
    std::uint64_t size = 0;
};

// Empty when the memory is not there.
std::optional<tally_table> make_tally_table(std::int32_t largest_value);

// The exact count of a value, high half included.
inline std::uint64_t count_of(const tally_table& table, std::uint32_t value) {
    return table.counters[value] + (table.high ? std::uint64_t{table.high[value]} << 32 : 0);
}

// Reads the open input twice, to find the largest value and then to count
// every value, and writes the report to output, but only if both readings
// saw the same file.
// A status line, if given, shows how far the run has come.
std::optional<tally_error> tally_file(int input, int output, status_line* status = nullptr);

// Whether both passes read one and the same text, as far as the system can
// tell cheaply: fstat before and after (any change of the file's size or
// times counts; its device and inode are those of one open descriptor), as
// many bytes and lines, the same values in the same order, all of a regular
// file whose size is its length, and the largest value of the first counted
// by the second.
bool readings_agree(const struct stat& before, const struct stat& after, const pass_end& first, const pass_end& second,
                    const tally_table& table, bool size_is_length);

// The two passes of tally_file. A value that has no counter ends either with
// its failure: negative_value, or value_above_largest in the second. The
// first gives the largest value seen. No counter may hold more than `fullest`
// before counting.
pass_end find_largest_value(int input, std::int32_t& largest, const scan_options& options = {});
pass_end count_values(int input, tally_table& table, const scan_options& options = {}, std::uint32_t fullest = 0);

// One line "value count" for each value from 1 to largest_value, each written
// (and so flushed) the moment it is complete.
std::optional<tally_error> print_report(int output, const tally_table& table, std::int32_t largest_value,
                                        status_line* status = nullptr);

}  // namespace mavek
