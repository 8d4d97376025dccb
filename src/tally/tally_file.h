// Totals of a mavek file: how many lines carry each value from 1 to the largest.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace mavek {

// One counter per value from 0 to the largest value. The counters are 64-bit,
// so no file is long enough to overflow one. calloc hands out zeroed pages
// that take memory only once counting touches them.
struct tally_table {
    struct free_counters {
        void operator()(std::uint64_t* counters) const noexcept { std::free(counters); }
    };
    std::unique_ptr<std::uint64_t[], free_counters> counters;
    std::uint64_t size = 0;
};

// Throws tally_error table_too_large when the memory is not there.
tally_table make_tally_table(std::int32_t largest_value);

// Reads the open input twice, to find the largest value and then to count
// every value, and writes the report to output. Throws tally_error.
void tally_file(int input, int output);

// The two passes of tally_file. Both throw tally_error.
std::int32_t find_largest_value(int input);
void count_values(int input, tally_table& table);

// One line "value count" for each value from 1 to largest_value, each written
// (and so flushed) the moment it is complete.
void print_report(int output, const tally_table& table, std::int32_t largest_value);

// write(2) until every byte is out. Throws tally_error write_failed.
void write_all(int output, std::string_view bytes);

}  // namespace mavek
