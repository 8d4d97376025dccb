// The ways a run can fail. A tally_error carries facts only; tally_run alone
// turns it into a message and an exit status.
//
// Failures travel as return values, never as exceptions: throwing one needs
// memory, and a failure must be reported when no memory is left.
#pragma once

#include <cstdint>

namespace mavek {

enum class tally_fault {
    open_failed,      // the input cannot be opened for reading; system_error holds errno
    output_is_input,  // standard output would write over the input file
    negative_value,   // values start at 0, so a negative one has no counter
    input_changed,    // the two passes did not read the same file
    read_failed,      // read(2) or fstat(2) failed; system_error holds errno
    not_rewindable,   // the input cannot go back to its start for a pass
    table_too_large,  // no memory for the counters up to the value on the line
    out_of_memory,    // no memory for a block, the hash's key or the high halves of the counters
    write_failed,     // standard output refused a write; system_error holds errno
};

struct tally_error {
    tally_fault fault;
    int system_error = 0;
    std::uint64_t line = 0;  // 1-based, every line of the file counted
    std::int32_t value = 0;
};

}  // namespace mavek
