#include "cli/tally_run.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tally/tally_error.h"
#include "tally/tally_file.h"

namespace mavek {
namespace {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;

// Owns the input for the run and closes it on every way out. A failure to
// close a file that was only read loses nothing, so it is ignored.
struct input_file {
    int fd;
    ~input_file() {
        if (fd >= 0) ::close(fd);
    }
};

// A directory opens for reading on Linux but holds no lines; to the user it is
// a path that failed to load, like any other.
int open_input(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    struct stat status;
    if (fd >= 0 && ::fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode)) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

std::string describe(const tally_error& error, std::string_view path) {
    const std::string line = std::to_string(error.line);
    const std::string value = std::to_string(error.value);
    const std::string largest = std::to_string(error.largest_value);
    const std::string file(path);
    const std::string reason = std::strerror(error.system_error);
    switch (error.fault) {
        case tally_fault::negative_value:
            return "line " + line + ": negative value " + value;
        case tally_fault::value_above_largest:
            return "line " + line + ": value " + value + " is above the largest value " + largest +
                   " of the first pass; the file changed while it was read";
        case tally_fault::read_failed:
            return "cannot read " + file + ": " + reason;
        case tally_fault::not_rewindable:
            return "cannot rewind " + file + ", which is read twice: " + reason;
        case tally_fault::table_too_large:
            return "largest value " + largest + " needs more memory than is available";
        case tally_fault::write_failed:
            return "cannot write standard output: " + reason;
    }
    return "unknown failure";
}

// Standard error is the last resort: if it fails too, there is nobody to tell.
void report_failure(std::string_view text) {
    try {
        write_all(STDERR_FILENO, "error; " + std::string(text) + "\n");
    } catch (const tally_error&) {
    }
}

int run(int argc, char* argv[]) {
    if (argc < 2) {
        write_all(STDOUT_FILENO, "error; no filename \n");
        return exit_failure;
    }
    const input_file input{open_input(argv[1])};
    if (input.fd < 0) {
        write_all(STDOUT_FILENO, "error; file " + std::string(argv[1]) + " failed to load\n");
        write_all(STDOUT_FILENO, "check filename and if file is present in same directory as program\n");
        return exit_failure;
    }
    write_all(STDOUT_FILENO, "Processing mavek file...\n");
    tally_file(input.fd, STDOUT_FILENO);
    return exit_success;
}

}  // namespace

int tally_run(int argc, char* argv[]) {
    try {
        return run(argc, argv);
    } catch (const tally_error& error) {
        report_failure(describe(error, argc > 1 ? argv[1] : ""));
    } catch (const std::bad_alloc&) {
        report_failure("out of memory");
    }
    return exit_failure;
}

}  // namespace mavek
