#include "cli/tally_run.h"

#include <cerrno>
#include <charconv>
#include <concepts>
#include <csignal>
#include <cstring>
#include <limits>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/printable.h"
#include "cli/status_line.h"
#include "tally/raw_io.h"
#include "tally/tally_error.h"
#include "tally/tally_file.h"

namespace mavek {

bool writes_over_input(const struct stat& input, const struct stat& output, int output_flags) {
    return S_ISREG(input.st_mode) && input.st_dev == output.st_dev && input.st_ino == output.st_ino &&
           (output_flags & O_ACCMODE) != O_RDONLY && (output_flags & O_APPEND) == 0;
}

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

// O_NONBLOCK so that a FIFO without a writer opens at once instead of waiting
// forever; it is read as usual afterwards. A directory opens for reading on
// Linux but holds no lines; to the user it is a path that failed to load,
// like any other. Returns the descriptor, or -1 and the reason in `error`.
int open_input(const char* path, int& error) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A FIFO never gives EWOULDBLOCK to a reader: it is a file that another
    // process holds a lease on, which must be waited for as any reader waits,
    // until the holder lets it go or the system breaks it.
    if (fd < 0 && errno == EWOULDBLOCK) fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0)
        error = errno;
    else if (S_ISDIR(status.st_mode))
        error = EISDIR;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    else
        return fd;
    ::close(fd);
    return -1;
}

bool output_is_input(int input, int output) {
    struct stat in, out;
    const int flags = ::fcntl(output, F_GETFL);
    return ::fstat(input, &in) == 0 && ::fstat(output, &out) == 0 && flags >= 0 && writes_over_input(in, out, flags);
}

// One line of text for a file descriptor, built in a fixed buffer: a failure
// must be reported when no memory is left. A line longer than the buffer goes
// out in pieces.
struct message_line {
    int output;
    int error = 0;  // the first write that failed, if one did
    std::size_t size = 0;
    char text[1024];

    explicit message_line(int fd) : output(fd) {}

    void flush() {
        if (error == 0) error = write_all(output, {text, size});
        size = 0;
    }
    message_line& operator<<(std::string_view bytes) {
        for (const char c : bytes) {
            if (size == sizeof text) flush();
            text[size++] = c;
        }
        return *this;
    }
    template <std::integral Number>
    message_line& operator<<(Number number) {
        char digits[24];
        return *this << std::string_view(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
    }
    // Ends the line and writes it out. Returns 0, or the errno of a failed write.
    int end() {
        *this << "\n";
        flush();
        return error;
    }
};

// A path inside a one-line message on a terminal: the bytes that would break
// the line are escaped as C and `ls -b` write them, the backslash too so that
// the text stays unambiguous, and every other byte that is not part of a
// printable character in octal. Printable UTF-8, such as `café`, stays.
struct escaped {
    std::string_view path;
};

message_line& operator<<(message_line& line, escaped path) {
    constexpr std::string_view named = "\a\b\t\n\v\f\r\\", names = "abtnvfr\\";
    for (std::string_view rest = path.path; !rest.empty();) {
        const auto byte = static_cast<unsigned char>(rest[0]);
        std::size_t length = 1;
        if (const auto at = named.find(rest[0]); at != named.npos) {
            const char escape[] = {'\\', names[at]};
            line << std::string_view(escape, 2);
        } else if ((length = printable_length(rest)) != 0) {
            line << rest.substr(0, length);
        } else {
            length = 1;
            const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + (byte >> 3 & 7)),
                                  static_cast<char>('0' + (byte & 7))};
            line << std::string_view(octal, 4);
        }
        rest.remove_prefix(length);
    }
    return line;
}

// The words of each failure on standard error; tally_run writes the two
// load-failure lines that scripts read on standard output.
void describe(message_line& line, const tally_error& error, std::string_view path) {
    const std::string_view reason = std::strerror(error.system_error);
    switch (error.fault) {
        case tally_fault::open_failed:
            line << "cannot open " << escaped{path} << ": " << reason;
            return;
        case tally_fault::output_is_input:
            line << "standard output is " << escaped{path} << " itself, which the report would overwrite";
            return;
        case tally_fault::negative_value:
            line << "line " << error.line << ": negative value " << error.value;
            return;
        case tally_fault::input_changed:
            line << escaped{path} << " changed while it was read";
            return;
        case tally_fault::read_failed:
            line << "cannot read " << escaped{path} << ": " << reason;
            return;
        case tally_fault::not_rewindable:
            line << "cannot rewind " << escaped{path} << ", which is read twice: " << reason;
            return;
        case tally_fault::table_too_large:
            line << "line " << error.line << ": value " << error.value << " needs more memory than is available";
            // A larger number is held at the largest value that a line can carry.
            if (error.value == std::numeric_limits<std::int32_t>::max()) line << " (larger numbers are held at it)";
            return;
        case tally_fault::out_of_memory:
            line << "out of memory";
            return;
        case tally_fault::write_failed:
            line << "cannot write standard output: " << reason;
            return;
    }
}

// Standard error is the last resort: if it fails too, there is nobody to tell.
int report_failure(const tally_error& error, std::string_view path) {
    message_line line{STDERR_FILENO};
    line << "error; ";
    describe(line, error, path);
    line.end();
    return exit_failure;
}

int report_write_failure(int system_error) {
    return report_failure({.fault = tally_fault::write_failed, .system_error = system_error}, "");
}

}  // namespace

int tally_run(int argc, char* argv[]) {
    // Past a file-size limit, a write then fails with EFBIG and is reported
    // like any other, instead of the process dying without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    message_line out{STDOUT_FILENO};
    if (argc < 2) {
        if (const int error = (out << "error; no filename ").end()) return report_write_failure(error);
        return exit_failure;
    }
    const std::string_view path = argv[1];
    int open_error = 0;
    const input_file input{open_input(argv[1], open_error)};
    if (input.fd < 0) {
        // Byte for byte into a pipe or a file, which scripts may read; escaped
        // on a terminal, which the path's bytes could otherwise steer.
        out << "error; file ";
        if (::isatty(STDOUT_FILENO) == 1)
            out << escaped{path};
        else
            out << path;
        out << " failed to load";
        if (const int error = out.end()) return report_write_failure(error);
        out << "check filename and if file is present in same directory as program";
        if (const int error = out.end()) return report_write_failure(error);
        return report_failure({.fault = tally_fault::open_failed, .system_error = open_error}, path);
    }
    if (output_is_input(input.fd, STDOUT_FILENO)) return report_failure({.fault = tally_fault::output_is_input}, path);
    if (const int error = (out << "Processing mavek file...").end()) return report_write_failure(error);
    // Shown on standard error while the run is long, if that is a terminal;
    // off the screen again before any message.
    status_line status = make_status_line(STDERR_FILENO, STDOUT_FILENO);
    const run_progress progress{.tell = status_tell, .context = &status};
    const auto error = tally_file(input.fd, STDOUT_FILENO, &progress);
    status_erase(status);
    if (error) return report_failure(*error, path);
    return exit_success;
}

}  // namespace mavek
