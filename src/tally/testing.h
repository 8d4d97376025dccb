// The steps of tally_file, declared for the tests alone (the program never
// includes this header): the two readings, the table's growth and the check
// that the readings agree.
#pragma once

#include <cstdint>

#include <sys/stat.h>

#include "tally/scan_pass.h"
#include "tally/tally_file.h"

namespace mavek {

// Makes the counter of `value` exist, and those of every value below it.
// False, with the table as it was, when the memory is not there.
bool grow_table(tally_table& table, std::uint32_t value);

// Maps the high halves of the table's counters, all 0 where they are new.
// False when the memory is not there.
bool grow_high(tally_table& table);

// The largest value with a count, or 0.
std::int32_t largest_counted(const tally_table& table);

// The first reading: counts every value, growing the table, up to the first
// value that cannot be counted, which ends it with its failure
// (negative_value, table_too_large, or out_of_memory for the high halves).
// No counter may hold more than `fullest` before counting.
pass_end count_values(int input, tally_table& table, const scan_options& options = {}, std::uint32_t fullest = 0);

// Whether both readings read one and the same text, as far as the system can
// tell: as many bytes and the same hash of them; and where the file's
// metadata tells of its text, fstat before and after (any change of the
// file's size or times counts; its device and inode are those of one open
// descriptor), all of a regular file whose size is its length.
bool readings_agree(const struct stat& before, const struct stat& after, const pass_end& first, const pass_end& second,
                    bool metadata_tells);

}  // namespace mavek
