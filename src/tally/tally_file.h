// Totals of a mavek file: how many lines carry each value from 1 to the largest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tally/progress.h"
#include "tally/tally_error.h"

namespace mavek {

// Counters in anonymous memory that grows without copying (mremap): fresh
// pages are zero and take no memory until a count touches them.
struct counter_span {
    std::uint32_t* at = nullptr;
    std::size_t bytes = 0;  // mapped
};

// One 32-bit counter per value from 0 up, half the memory and cache of
// 64-bit ones, grown as larger values come, a page of counters at a time; a
// counter that wraps carries into `high`, which is made on the first wrap
// only: that takes 4 Gi lines, a file of 8 GiB at the least.
struct tally_table {
    counter_span counters, high;
    std::uint64_t size = 0;  // the values below it have a counter; the largest counted is in its last page

    tally_table() = default;
    tally_table(const tally_table&) = delete;
    tally_table& operator=(const tally_table&) = delete;
    ~tally_table();
};

// The exact count of a value below the table's size, high half included.
inline std::uint64_t count_of(const tally_table& table, std::uint32_t value) {
    const std::uint64_t high = value < table.high.bytes / 4 ? table.high.at[value] : 0;
    return table.counters.at[value] + (high << 32);
}

// Reads the open input twice, counting every value in the first reading,
// and writes the report to output, but only if the second reading read the
// same bytes of the same file. `progress`, if given, is told how far the run
// has come.
std::optional<tally_error> tally_file(int input, int output, const run_progress* progress = nullptr);

// One line "value count" for each value from 1 to largest_value, each written
// (and so flushed) the moment it is complete.
std::optional<tally_error> print_report(int output, const tally_table& table, std::int32_t largest_value,
                                        const run_progress* progress = nullptr);

}  // namespace mavek
