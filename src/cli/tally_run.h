#pragma once

namespace mavek {

// The whole run of `mavek-tally FILE`: opens FILE, prints the progress line and
// the report, and turns every failure into one message. Returns the exit
// status: 0 after a report, 1 after any failure.
int tally_run(int argc, char* argv[]);

}  // namespace mavek
