// How a run tells whoever shows its progress how far it has come.
#pragma once

#include <cstdint>

namespace mavek {

enum class run_stage { first_reading, second_reading, report };

// Called at the start of each stage with done 0, then after each block a
// reading reads and every 1024 lines of the report: what is done (bytes
// read, or the last value reported) of the stage's total (the file's size,
// 0 where it is not known; or the largest value).
struct run_progress {
    void (*tell)(void* context, run_stage stage, std::uint64_t done, std::uint64_t total);
    void* context;
};

}  // namespace mavek
