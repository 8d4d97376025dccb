#include "tally/raw_io.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace mavek {

std::optional<tally_error> rewind_input(int input) {
    if (::lseek(input, 0, SEEK_SET) < 0)
        return tally_error{.fault = tally_fault::not_rewindable, .system_error = errno};
    return std::nullopt;
}

ssize_t read_block(int input, char* buffer, std::size_t size) {
    ssize_t got;
    do got = ::read(input, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int write_all(int output, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(output, bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(put));
        } else if (put == 0) {
            // No error and no progress: trying again could spin for ever.
            return EIO;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A non-blocking output that is full: wait for the reader, as a
            // blocking write would.
            pollfd writable{.fd = output, .events = POLLOUT, .revents = 0};
            if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return errno;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::unique_ptr<char, free_block> make_block(std::size_t size) {
    // Of the exact size, not rounded up to pages, so that a write past its
    // end is caught by the address sanitizer.
    void* memory = nullptr;
    if (::posix_memalign(&memory, 4096, size) != 0) return nullptr;
    std::unique_ptr<char, free_block> block{static_cast<char*>(memory)};
    std::memset(block.get(), 0, size);
    return block;
}

}  // namespace mavek
