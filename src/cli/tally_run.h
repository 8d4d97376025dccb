#pragma once

#include <sys/stat.h>

namespace mavek {

// The whole run of `mavek-tally FILE`: opens FILE, prints the progress line and
// the report, and turns every failure into one message. Returns the exit
// status: 0 after a report, 1 after any failure.
int tally_run(int argc, char* argv[]);

// Whether standard output, open with these flags, is the input file itself,
// to be written from its start (`1<>FILE`): the progress line would overwrite
// the data before it is read. Appending (`>>FILE`) is left alone, as the user
// asked for it, and so is a device such as /dev/null, which is no data.
bool writes_over_input(const struct stat& input, const struct stat& output, int output_flags);

}  // namespace mavek
