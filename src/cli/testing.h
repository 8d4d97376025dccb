// A step of tally_run, declared for the tests alone (the program never
// includes this header).
#pragma once

#include <sys/stat.h>

namespace mavek {

// Whether standard output, open with these flags, is the input file itself,
// to be written from its start (`1<>FILE`): the progress line would overwrite
// the data before it is read. Appending (`>>FILE`) is left alone, as the user
// asked for it, and so is a device such as /dev/null, which is no data.
bool writes_over_input(const struct stat& input, const struct stat& output, int output_flags);

}  // namespace mavek
