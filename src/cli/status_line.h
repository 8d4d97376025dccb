// A status line on a terminal during a long run: which reading, or the
// report, how far, how fast, and how long is left of that stage. It is
// drawn only on standard error, only when that is a terminal, only once the
// run has lasted a second, at most four times a second, and erased before
// anything else reaches the terminal, so that what the run leaves there is
// unchanged.
// No thread, no timer: the clock is read between blocks. SIGINT, SIGTERM,
// SIGHUP and SIGQUIT take the line off before they end the run.
#pragma once

#include <cstdint>

#include "tally/progress.h"

namespace mavek {

struct status_line {
    int terminal = -1;                // where it is drawn, or -1: never
    bool output_on_terminal = false;  // standard output is that same terminal
    bool shown = false;               // something is on the terminal to erase
    std::int64_t next_draw = 0;       // nanoseconds on the monotonic clock
    run_stage stage = run_stage::first_reading;
    std::int64_t stage_started = 0;
    std::uint64_t total = 0;  // the file's size, 0 if unknown; or the largest value
};

// A status line for this run: drawn on `terminal` if it is one, never otherwise.
status_line make_status_line(int terminal, int output);

// The run_progress of a status line: a stage starts when done is 0; then it
// is told how far the stage has come, cheaply when nothing is to be drawn.
void status_tell(void* status, run_stage stage, std::uint64_t done, std::uint64_t total);

// Takes the line off the terminal, if it is there.
void status_erase(status_line& status);

}  // namespace mavek
