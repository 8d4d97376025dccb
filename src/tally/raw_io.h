// The tool's input and output at the level of the system: reads, rewinds and
// whole writes that a signal does not cut short, and the memory a read goes to.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/types.h>

#include "tally/tally_error.h"

namespace mavek {

// Back to the input's first byte, or not_rewindable.
std::optional<tally_error> rewind_input(int input);

// read(2), retried when a signal interrupts it.
ssize_t read_block(int input, char* buffer, std::size_t size);

// write(2) until every byte is out: retried when a signal interrupts it, and
// waited for when the output is non-blocking and full. Returns 0, or errno;
// a write that takes no byte and gives no error is EIO.
int write_all(int output, std::string_view bytes);

struct free_block {
    void operator()(char* block) const noexcept { std::free(block); }
};

// `size` zeroed bytes, page-aligned: on some processors the kernel copies into
// a block that is not aligned four times slower, and read(2) would cost more
// than the scan. Empty when the memory is not there.
std::unique_ptr<char, free_block> make_block(std::size_t size);

}  // namespace mavek
