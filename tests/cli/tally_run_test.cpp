// End-to-end: the built mavek-tally, run from a shell as a user runs it, on
// real files, devices and resource limits.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "cli/testing.h"
#include "tally/kernel/cpu_paths.h"

namespace mavek {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

struct run_case {
    std::string args;     // shell words, run in a folder that holds "input", "fifo", "lonely", "dir" and links
    std::string input{};  // the bytes of "input", after `hole` bytes of a sparse file
    std::string out{}, err{};
    int status = 0;
    std::string out_to = ">stdout";
    std::string setup{};  // shell commands run in the tool's own process before it starts: a ulimit, say
    off_t hole = 0;
    std::string hook{};     // MAVEK_HOOK_* settings for the preloaded io_hook (see io_hook.cpp)
    std::string wrapper{};  // a command that execs the words after it, put before the tool
    int columns = 0;        // if not 0, standard error is a terminal this wide, and err what it showed
};

// The io_hook settings that run `command` in the tool's folder at `point`
// ("rewind 2": just after the second reading went back to the start).
std::string hook_at(const std::string& point, const std::string& command) {
    return "MAVEK_HOOK_AT='" + point + "' MAVEK_HOOK_RUN='" + command + "'";
}

// A run that has not ended by then is a hang, and a failure: no run needs a
// tenth of it.
#if defined(MAVEK_TALLY_EMULATED) || defined(__SANITIZE_ADDRESS__)
const std::string time_limit = "timeout -s KILL 300 ";
#else
const std::string time_limit = "timeout -s KILL 60 ";
#endif

// The preloaded library reaches the tool, not the shell or the emulator.
#if defined(MAVEK_TALLY_EMULATED)
const std::string preload = "QEMU_SET_ENV=LD_PRELOAD=" MAVEK_IO_HOOK " ";
#else
const std::string preload = "LD_PRELOAD=" MAVEK_IO_HOOK " ASAN_OPTIONS=verify_asan_link_order=0 ";
#endif

// Returns standard output, standard error and the exit status (128 + the
// signal, if one killed it). A terminal comes from script(1), raw, so that
// err holds the bytes as the tool wrote them.
// `path` is "" or the environment of a slower path (every_path).
std::tuple<std::string, std::string, int> run_tool(const run_case& c, const fs::path& dir,
                                                   const std::string& path = "") {
    const std::string env = path + (c.hook.empty() ? "" : preload + c.hook + " ");
    std::string run = c.setup + " exec " + c.wrapper + " " + time_limit + (env.empty() ? "" : "env " + env) +
                      MAVEK_TALLY_BINARY + " " + c.args;
    run = c.columns == 0 ? "(" + run + " 2>stderr " + c.out_to + " 3<&-)"
                         : time_limit + "script -qec \"stty -onlcr cols " + std::to_string(c.columns) + "; " + run +
                               " " + c.out_to + "\" /dev/null >stderr </dev/null";
    const int status = std::system(("cd '" + dir.string() + "' && : >stdout || exit; " + run).c_str());
    return {read_file(dir / "stdout"), read_file(dir / "stderr"),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// A path name that holds every kind of byte a message must escape or keep:
// the named escapes, other controls, printable UTF-8, C1 controls, line
// separators, bidirectional controls, and bytes that are not UTF-8 (overlong,
// a surrogate, past U+10FFFF, a lead byte without its continuation, cut
// short), and default-ignorable ones: a soft hyphen, a variation selector.
const std::string odd_name =
    "\a\b\t\n\v\f\r\\\x01\x1f\x7f caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x99\x82 \xc2\x85 \xe2\x80\xa8 \xe2\x80\xae "
    "\xff \xe0\x82\xa0 \xed\xa0\x80 \xf4\x90\x80\x80 \xc3( \xc3 re\xc2\xadport \xef\xb8\x8f";
const std::string odd_shown =
    "\\a\\b\\t\\n\\v\\f\\r\\\\\\001\\037\\177 caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x99\x82 \\302\\205 \\342\\200\\250 "
    "\\342\\200\\256 \\377 \\340\\202\\240 \\355\\240\\200 \\364\\220\\200\\200 \\303( \\303 re\\302\\255port "
    "\\357\\270\\217";

// A fresh folder that holds "input", a FIFO "fifo" with a writer (so that
// opening it does not wait), a FIFO "lonely" without one, a directory "dir",
// and links with the odd name above: "odd-DIR/NAME" leads to "fifo",
// "/proc/self/mem" and "input" for DIR fifo, mem and input.
struct run_folder {
    // Made new, not named by the process id: a run killed before it cleans up
    // leaves its folder, and a later one with that id would find it.
    fs::path dir = [] {
        std::string name = fs::temp_directory_path() / "mavek-tally-test-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr)
            throw fs::filesystem_error("mkdtemp", name, {errno, std::generic_category()});
        return fs::path(name);
    }();
    int fifo_writer = -1;

    run_folder() {
        fs::create_directories(dir / "dir");
        ::mkfifo((dir / "fifo").c_str(), 0600);
        ::mkfifo((dir / "lonely").c_str(), 0600);
        for (const auto& [folder, target] :
             {std::pair("fifo", "../fifo"), std::pair("mem", "/proc/self/mem"), std::pair("input", "../input")}) {
            fs::create_directories(dir / ("odd-"s + folder));
            fs::create_symlink(target, dir / ("odd-"s + folder) / odd_name);
        }
        fifo_writer = ::open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC);
    }
    ~run_folder() {
        ::close(fifo_writer);
        fs::remove_all(dir);
    }
    void write_input(const run_case& c) const {
        std::ofstream(dir / "input", std::ios::binary).close();
        fs::resize_file(dir / "input", static_cast<std::uintmax_t>(c.hole));
        std::ofstream(dir / "input", std::ios::binary | std::ios::app) << c.input;
    }
};

// AddressSanitizer and qemu-user reserve far more address space at start than
// the program needs, so they cannot start at all under a limit on it, and
// their stacks are their own; coverage counters are written at exit, which a
// file-size limit refuses with a message of its own and an address-space
// limit makes crash. Those cases are skipped there, and say so.
#if defined(__SANITIZE_ADDRESS__) || defined(MAVEK_TALLY_EMULATED)
const std::vector<std::string> refused_limits = {"ulimit -v", "ulimit -s"};
#elif defined(MAVEK_TALLY_COVERAGE)
const std::vector<std::string> refused_limits = {"ulimit -v", "ulimit -f"};
#else
const std::vector<std::string> refused_limits = {};
#endif
const bool address_space_limits = refused_limits.empty();

bool runnable(const run_case& c) {
    for (const auto& limit : refused_limits) {
        if (c.setup.find(limit) != std::string::npos) {
            std::cout << "skipped here, as the build cannot run under `" << c.setup << "`: " << c.args << "\n";
            return false;
        }
    }
    return true;
}

// Where an output first differs from the expected one, in a few bytes: a
// report can be megabytes long.
std::string first_difference(const std::string& got, const std::string& want) {
    if (got == want) return "as expected";
    const auto at =
        static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
    const auto from = at < 20 ? 0 : at - 20;
    return "differs at byte " + std::to_string(at) + ": got \"" + got.substr(from, 60) + "\", want \"" +
           want.substr(from, 60) + "\"";
}

// The environment of the tool's run on every path that this processor has:
// none for the fastest, and glibc's tunables switching off the features of
// the faster ones for each slower path.
std::vector<std::string> every_path() {
    std::vector<std::string> paths = {""};
#if defined(__x86_64__) && !defined(MAVEK_TALLY_ONE_PATH)
    const std::pair<scan_path, std::string> caps[] = {{scan_path::avx2, "-AVX512F"},
                                                      {scan_path::portable, "-AVX2,-AVX512F"}};
    for (const auto& [path, off] : caps)
        if (path < fastest_scan_path()) paths.push_back("GLIBC_TUNABLES=glibc.cpu.hwcaps=" + off + " ");
#endif
    return paths;
}

// Runs each case on every path. A failing case names itself: its number,
// its command and the start of its input.
void run_cases(std::span<const run_case> cases) {
    const run_folder folder;
    for (const std::string& path : every_path()) {
        for (std::size_t row = 0; row < cases.size(); ++row) {
            const run_case& c = cases[row];
            if (!runnable(c)) continue;
            folder.write_input(c);
            const auto [out, err, status] = run_tool(c, folder.dir, path);
            EXPECT_TRUE(out == c.out && err == c.err && status == c.status)
                << "case " << row << ": " << c.setup << " " << path << c.hook << " " << c.args << " " << c.out_to
                << ", input " << ::testing::PrintToString(c.input.substr(0, 40)) << "\n  status " << status << ", want "
                << c.status << "\n  stdout " << first_difference(out, c.out) << "\n  stderr "
                << first_difference(err, c.err);
        }
    }
}

const std::string go = "Processing mavek file...\n";

// The report of a file that holds only `largest`.
std::string report_of(int largest) {
    std::string report = go;
    for (int value = 1; value <= largest; ++value)
        report += std::to_string(value) + (value == largest ? " 1\n" : " 0\n");
    return report;
}

// Whether a line starts with a message of the README, in which PATH and
// REASON stand for any text, and N and V for a number.
bool printed_as(std::string_view line, std::string_view message) {
    for (const std::string_view any : {"PATH", "REASON"})
        if (message.starts_with(any)) {
            for (std::size_t k = 0; k <= line.size(); ++k)
                if (printed_as(line.substr(k), message.substr(any.size()))) return true;
            return false;
        }
    if (message.starts_with("N") || message.starts_with("V")) {
        const std::size_t sign = line.starts_with('-'), digits = line.find_first_not_of("0123456789", sign);
        const std::size_t end = digits == std::string_view::npos ? line.size() : digits;
        return end > sign && printed_as(line.substr(end), message.substr(1));
    }
    return message.empty() || (!line.empty() && line[0] == message[0] && printed_as(line.substr(1), message.substr(1)));
}

TEST(mavek_tally, prints_the_report_or_one_failure_with_its_exit_status) {
    const std::string hint = "check filename and if file is present in same directory as program\n";
    const std::string no_stdout = "error; cannot write standard output: ";
    const std::string cannot_open = "error; cannot open ", enoent = "No such file or directory\n";
    // Several real read blocks of short lines, the last one short.
    std::string blocks;
    for (int line = 0; line < 300000; ++line) blocks += line % 3 ? "1\tparcel\n" : "2\n";
    const std::string blocks_report = go + "1 200000\n2 100000\n";
    const std::string long_path(480, 'p');
    // clang-format off
    const run_case cases[] = {
        {"input", "3\n5\n5\n", go + "1 0\n2 0\n3 1\n4 0\n5 2\n", "", 0},
        {"input extra --help", "\n1\n2 b\n\n", go + "1 1\n2 1\n", "", 0},
        {"input", "0\nabc\n  \n-0 x\n", go, "", 0},
        {"input", "", go, "", 0},
        {"input", blocks, blocks_report, "", 0},
        {.args = "input", .input = blocks, .out = blocks_report, .setup = "ulimit -s 20;"},  // a small stack
        {"input", "3\n", go + "1 0\n2 0\n3 1\n", "", 0, ">stdout <&-"},  // the input opens as descriptor 0
        {"", "", "error; no filename \n", "", 1},
        // Scripts read the two lines on standard output; the reason is on standard error.
        {"data.txt", "", "error; file data.txt failed to load\n" + hint, cannot_open + "data.txt: " + enoent, 1},
        {"''", "", "error; file  failed to load\n" + hint, cannot_open + ": " + enoent, 1},
        {"dir", "", "error; file dir failed to load\n" + hint, cannot_open + "dir: Is a directory\n", 1},
        {.args = "input", .input = "1\n", .out = "error; file input failed to load\n" + hint,
         .err = cannot_open + "input: Permission denied\n", .status = 1, .setup = "chmod 0 input;",
         .wrapper = ::geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search" : ""},  // root, but bound by modes
        // A report into its own input is refused before a byte is written; appended to it, it reads what is there.
        {.args = "input", .input = "3\n", .err = "error; standard output is input itself, which the report would "
         "overwrite\n3\n", .status = 1, .out_to = "1<>input", .wrapper = "sh -c '\"$@\"; e=$?; cat input >&2; exit $e' sh"},
        {.args = "input", .input = "3\n", .err = "3\n" + go + "1 0\n2 0\n3 1\n", .out_to = ">>input",
         .wrapper = "sh -c '\"$@\"; cat input >&2' sh"},
        // The refusal names the path as every message does; a device as both input and output is no data.
        {.args = "'out\nfile'", .err = "error; standard output is out\\nfile itself, which the report would "
         "overwrite\n", .status = 1, .out_to = "1<>'out\nfile'", .setup = "echo 3 >'out\nfile';"},
        {.args = "/dev/null", .out_to = ">/dev/null"},
        // The first negative value is the one reported, and one far below the range as its limit.
        {"input", "1\n\n-1 x\n-4\n", go, "error; line 3: negative value -1\n", 1},
        {"input", "7\n-99999999999\n", go, "error; line 2: negative value -2147483648\n", 1},
        {"/proc/self/mem", "", go, "error; cannot read /proc/self/mem: Input/output error\n", 1},
        {"/proc/sys/kernel/ostype", "", go, "", 0},  // a size of 0, but text to read
        {"/dev/null", "", go, "", 0},  // a device, of no size
        {"/sys/devices/system/cpu/online", "", go, "", 0},  // a size of a page, but a few bytes to read
        {std::string(5000, 'p'), "", "error; file " + std::string(5000, 'p') + " failed to load\n" + hint,
         cannot_open + std::string(5000, 'p') + ": File name too long\n", 1},
        {"fifo", "", go, "error; cannot rewind fifo, which is read twice: Illegal seek\n", 1},
        {"lonely", "", go, "error; cannot rewind lonely, which is read twice: Illegal seek\n", 1},
        // A path is kept byte for byte on standard output, and escaped on standard error in every message that
        // names it, so that nothing in it can break the line or steer the terminal.
        {"'new\nline'", "", "error; file new\nline failed to load\n" + hint, cannot_open + "new\\nline: " + enoent, 1},
        {"'odd-fifo/" + odd_name + "'", "", go, "error; cannot rewind odd-fifo/" + odd_shown +
         ", which is read twice: Illegal seek\n", 1},
        {"'odd-mem/" + odd_name + "'", "", go, "error; cannot read odd-mem/" + odd_shown +
         ": Input/output error\n", 1},
        {.args = "'odd-input/" + odd_name + "'", .input = "1\n", .out = go,
         .err = "error; odd-input/" + odd_shown + " changed while it was read\n", .status = 1,
         .hook = hook_at("rewind 2", "touch input")},
        {.args = "input", .input = "2147483647\n", .out = go,
         .err = "error; line 1: value 2147483647 needs more memory than is available (larger numbers are held at it)\n",
         .status = 1,
         .setup = "ulimit -v 262144;"},
        // Every write can fail, the first ones too, which end the run before the input is read.
        {"/proc/self/mem", "", "", no_stdout + "No space left on device\n", 1, ">/dev/full"},
        {"input", "1\n", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"", "", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"input", "-1\n", go, "", 1, ">stdout 2>&-"},  // with standard error closed too, only the status tells
        // Past a file-size limit of 512 bytes, the writes fail like any other.
        {.args = "input", .input = "1000\n", .out = report_of(1000).substr(0, 512),
         .err = no_stdout + "File too large\n", .status = 1, .setup = "ulimit -f 1;"},
        {.args = long_path, .out = ("error; file " + long_path + " failed to load\n" + hint).substr(0, 512),
         .err = no_stdout + "File too large\n", .status = 1, .setup = "ulimit -f 1;"},
        // Reads, writes and waits for a full non-blocking output that a signal interrupts are made
        // again; a write that takes nothing and gives no error is not, as it could be for ever.
        {.args = "input", .input = "300\n", .out = report_of(300),
         .hook = "MAVEK_HOOK_FAIL='read EINTR 3 write EINTR 3 write EAGAIN 3 poll EINTR 2 read EINTR 2'"},
        {.args = "input", .input = "3\n", .out = go, .err = no_stdout + "Input/output error\n", .status = 1,
         .hook = "MAVEK_HOOK_AT='read 1' MAVEK_HOOK_FAIL='write 0 1'"},
        // The second reading fails in each of its steps as the first would: its rewind, its read, its block.
        {.args = "input", .input = "3\n", .out = go, .err = "error; cannot rewind input, which is read twice: "
         "Input/output error\n", .status = 1, .hook = "MAVEK_HOOK_AT='rewind 1' MAVEK_HOOK_FAIL='lseek EIO 1'"},
        {.args = "input", .input = "3\n", .out = go, .err = "error; cannot read input: Input/output error\n",
         .status = 1, .hook = "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_FAIL='read EIO 1'"},
        {.args = "input", .input = "3\n", .out = go, .err = "error; out of memory\n", .status = 1,
         .hook = "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_FAIL='posix_memalign ENOMEM 1'"},
        // A reader that goes away ends the run as it ends any filter: quietly.
        {"input", "100000\n", go, "", 0, "| head -1 >stdout"},
    };
    // clang-format on
    run_cases(cases);
    // Every message in the README's table is one that a case above prints, at the start of a line,
    // its words PATH and REASON standing for any text and N and V for a number.
    std::string printed;
    for (const run_case& c : cases) printed += c.out + c.err;
    std::ifstream readme(MAVEK_SOURCE_DIR "/README.md");
    std::size_t messages = 0;
    for (std::string row; std::getline(readme, row);) {
        std::istringstream quoted(row);
        for (std::string message;
             row.starts_with("| ") && std::getline(quoted, message, '`') && std::getline(quoted, message, '`');) {
            if (!message.starts_with("error; ") && !message.starts_with("Processing")) continue;
            bool found = false;
            std::istringstream lines(printed);
            for (std::string line; std::getline(lines, line) && !found;) found = printed_as(line, message);
            EXPECT_TRUE(found) << message;
            ++messages;
        }
    }
    EXPECT_GE(messages, 12U);
}

// A file that another process holds a lease on is waited for, as any reader
// waits, until the holder lets it go: here at once, when the tool's open
// tells it to, by SIGIO. The holder is killed once the run ends, however
// it ended, so nothing waits for ever.
TEST(mavek_tally, waits_for_a_lease_to_be_broken) {
#if defined(MAVEK_TALLY_EMULATED)
    GTEST_SKIP() << "under qemu-user the holder's lease and its break signal are the emulator's; tested natively";
#endif
    const run_folder folder;
    const run_case c = {.args = "input", .input = "3\n", .out = go + "1 0\n2 0\n3 1\n"};
    folder.write_input(c);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        sigset_t io;
        sigemptyset(&io);
        sigaddset(&io, SIGIO);
        ::sigprocmask(SIG_BLOCK, &io, nullptr);
        const int fd = ::open((folder.dir / "input").c_str(), O_RDWR);
        const char held = ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 'y' : 'n';
        int signal = 0;
        if (::write(ready[1], &held, 1) == 1 && held == 'y') ::sigwait(&io, &signal);
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        std::_Exit(0);
    }
    char held = 'n';
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    if (held == 'y') {
        const auto [out, err, status] = run_tool(c, folder.dir);
        EXPECT_EQ(std::tuple(out, err, status), std::tuple(c.out, c.err, c.status));
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    if (held != 'y') GTEST_SKIP() << "this file system takes no lease";
}

// The times of a POSIX message queue's file move at each read, and say
// nothing of its text: its two readings are compared by their bytes. Before
// the second, the queue is read until its times have moved, as the kernel's
// coarse clock may not have ticked during the run.
TEST(mavek_tally, reads_a_message_queue_file) {
    const run_folder folder;
    fs::create_directory(folder.dir / "queues");
    if (::mount("none", (folder.dir / "queues").c_str(), "mqueue", 0, nullptr) != 0)
        GTEST_SKIP() << "no message-queue file system can be mounted here: " << std::strerror(errno);
    std::ofstream(folder.dir / "queues" / "jobs").close();
    const std::string moved =
        "t=$(stat -c %z queues/jobs); while [ \"$(stat -c %z queues/jobs)\" = \"$t\" ]; do "
        "cat queues/jobs >/dev/null; done";
    const auto [out, err, status] = run_tool({.args = "queues/jobs", .hook = hook_at("rewind 2", moved)}, folder.dir);
    ::umount((folder.dir / "queues").c_str());
    EXPECT_EQ(std::tuple(out, err, status), std::tuple(go, "", 0));
}

// Standard output is the input only where both are one regular file, open
// to be written from its start: the same device and inode, neither of which
// alone will do; not a device, not appended to, not read only.
TEST(writes_over_input, only_where_the_report_would_overwrite_the_data) {
    struct stat file {};
    file.st_mode = S_IFREG, file.st_dev = 8, file.st_ino = 12;
    struct stat other_system = file, other_file = file, device = file;
    other_system.st_dev = 9, other_file.st_ino = 13, device.st_mode = S_IFCHR;
    const std::tuple<struct stat, struct stat, int, bool> rows[] = {
        {file, file, O_RDWR, true},      {file, file, O_WRONLY, true},        {file, file, O_WRONLY | O_APPEND, false},
        {file, file, O_RDONLY, false},   {file, other_system, O_RDWR, false}, {file, other_file, O_RDWR, false},
        {device, device, O_RDWR, false},
    };
    for (const auto& [input, output, flags, refused] : rows)
        EXPECT_EQ(writes_over_input(input, output, flags), refused)
            << input.st_mode << ' ' << output.st_dev << ' ' << output.st_ino << ' ' << flags;
}

// The file changes while it is read, in every way it can, at a point of the
// run that the preloaded hook makes exact: "rewind 2" is the start of the
// second reading, "read 1" the end of the first block of the first. Any change
// ends without a report.
TEST(mavek_tally, reports_nothing_from_a_file_that_changed_while_it_was_read) {
    const std::string changed = "error; input changed while it was read\n";
    const std::string in_place = " | dd of=input conv=notrunc 2>/dev/null";
    const off_t hole = off_t{1} << 20;  // more than a read block
    const auto change = [&](std::string input, std::string hook, off_t hole_before = 0) {
        return run_case{
            .args = "input", .input = input, .out = go, .err = changed, .status = 1, .hole = hole_before, .hook = hook};
    };
    // clang-format off
    const run_case cases[] = {
        change("\n9\n", hook_at("rewind 2", "printf \"\\n1\\n\"" + in_place)),
        change("\n9\n", hook_at("rewind 2", ": >input")),
        change("\n3\n9\n", hook_at("rewind 2", "truncate -s 3 input")),
        change("\n9\n", hook_at("read 1", "truncate -s " + std::to_string(hole / 2) + " input"), hole),
        change("\n9\n", hook_at("rewind 2", "chmod a-w input")),
        change("\n3\n", hook_at("rewind 2", "echo 9 >>input")),
        // Other bytes in the second reading, with no change that the file's size or times show: the first
        // and last lines swapped, and one value that the first reading did not give.
        change("2\n3\n3\n1\n", "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_POKE='0=49 6=50'"),
        change("1\n2\n3\n", "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_POKE='0=50'"),
        // One byte that moves no value, at the end of the hash's first 64 KiB unit, and the file's last byte.
        change("\n9\n", "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_POKE='65535=120'", hole),
        change("\n9\n", "MAVEK_HOOK_AT='rewind 2' MAVEK_HOOK_POKE='" + std::to_string(hole + 2) + "=120'", hole),
        // The hook itself changes nothing.
        {.args = "input", .input = "\n3\n", .out = go + "1 0\n2 0\n3 1\n", .hook = hook_at("rewind 2", "true")},
    };
    // clang-format on
    run_cases(cases);
}

// What a terminal shows after these bytes, in the two ways that a status
// line moves: carriage return to the start of the line, and ESC [ K to erase
// to its end.
std::string screen_after(const std::string& bytes) {
    std::string screen, line;
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            column = 0;
        } else if (bytes[i] == '\n') {
            screen += line + '\n';
            line.clear(), column = 0;
        } else if (bytes.compare(i, 3, "\x1b[K") == 0) {
            line.resize(column);
            i += 2;
        } else {
            if (column < line.size())
                line[column] = bytes[i];
            else
                line += bytes[i];
            ++column;
        }
    }
    return screen + line;
}

// A status line on standard error while the run is long, when that is a
// terminal, never wider than the terminal less one column, so that it never
// wraps. The hooked clock makes every read and write last as long as a row
// says, or (0) stands still, so that whether the run is long is decided by
// what it does, not by the machine's speed; and a 2 MiB cache makes every
// read 960 KiB. Standard output stays as it is,
// and the screen is left as without the line.
TEST(mavek_tally, shows_a_status_line_on_a_terminal_and_leaves_no_trace) {
#if defined(MAVEK_TALLY_EMULATED)
    GTEST_SKIP() << "under qemu-user the terminal's process spins before it can start the tool; tested natively";
#endif
    struct row {
        std::string input, clock, out_to;           // clock: seconds a call, then any other hook settings
        std::string out, screen;                    // screen: what the terminal shows at the end
        std::vector<std::string> shown, not_shown;  // what it showed on the way, or not
        int status = 0, columns = 80;
        std::string args = "input";
        off_t hole = off_t{4} << 20;
    };
    const std::string report_3 = go + "1 0\n2 0\n3 1\n";
    const std::string report_8100 = report_of(8100);
    const std::string hint = "check filename and if file is present in same directory as program\n";
    // clang-format off
    const row rows[] = {
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 960.0 KiB of 4.0 MiB (23%), 960.0 KiB/s, 0:03 left\x1b[K",
         "\rreading 2 of 2: 4.0 MiB of 4.0 MiB (100%), 455.1 KiB/s\x1b[K\r\x1b[K"}, {"report"}},
        {"\n3\n", "1102.1", ">stdout", report_3, "",
         {"\rreading 1 of 2: 960.0 KiB of 4.0 MiB (23%), 891 B/s, 1:00:00 left\x1b[K"}, {}},
        // The edges of the units: 1023 B and 1024 B a second; 3599 s left, the last not shown in hours.
        {"\n3\n", "960.5", ">stdout", report_3, "", {", 1023 B/s, 52:17 left\x1b[K"}, {}},
        {"\n3\n", "960", ">stdout", report_3, "", {", 1.0 KiB/s, 52:16 left\x1b[K"}, {}},
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 1023.0 KiB of 1023.0 KiB"}, {}, 0, 80, "input",
         1047552},
        {"\n3\n", "1101.9", ">stdout", report_3, "", {", 892 B/s, 59:59 left\x1b[K"}, {}},
        // A redraw every quarter of a second: a block read and a line drawn take 0.2 s, so every other block.
        {"\n3\n", "0.1", ">stdout", report_3, "", {"(11%), 9.4 MiB/s, 0:00 left\x1b[K\rreading 2 of 2: 2.8 MiB of"}, {},
         0, 80, "input", off_t{8} << 20},
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 960.0 KiB of 4.0 MiB (23%)\x1b[K"}, {}, 0, 48},
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 960.0 KiB of 4.0 MiB (23%)\x1b[K"}, {}, 0, 43},
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 960.0 KiB\x1b[K"}, {}, 0, 42},
        {"\n3\n", "1", ">stdout", report_3, "", {"\rreading 1 of 2: 960\x1b[K"}, {}, 0, 20},
        {"\n3\n", "1", ">stdout", report_3, "", {"\r\x1b[K"}, {"reading"}, 0, 1},
        {"\n8100\n", "1", ">stdout", report_8100, "", {"\rreading 2 of 2: ", "\rreport: value 4096 of 8100 (50%)"}, {}},
        {"\n8100\n", "1", ">stdout", report_8100, "", {"\rreport: value 4096 of 8100 (50%)\x1b[K"}, {}, 0, 40},
        // The report on the terminal: the line redrawn in place between the readings, none over the report.
        {"\n8100\n", "1", "", "", report_8100, {"/s\x1b[K\rreading 2 of 2: "}, {"report:"}},
        {"\n-3\n", "1", ">stdout", go, "error; line 2: negative value -3\n", {"\rreading 1 of 2: "}, {}, 1},
        // The same terminal when one of the two is opened as /dev/tty.
        {"\n8100\n", "1", ">/dev/tty", "", report_8100, {"/s\x1b[K\rreading 2 of 2: "}, {"report:"}},
        {"\n8100\n", "1", "2>/dev/tty", "", report_8100, {"/s\x1b[K\rreading 2 of 2: "}, {"report:"}},
        // A signal that ends the run takes the line off first, and ends it by the same signal.
        {"\n3\n", "1 MAVEK_HOOK_AT='read 3' MAVEK_HOOK_RAISE=2", ">stdout", go, "", {"\rreading 1 of 2: "}, {}, 130},
        {"\n3\n", "1 MAVEK_HOOK_AT='read 3' MAVEK_HOOK_RAISE=15", ">stdout", go, "", {"\rreading 1 of 2: "}, {}, 143},
        {"\n3\n", "1 MAVEK_HOOK_AT='read 3' MAVEK_HOOK_RAISE=1", ">stdout", go, "", {"\rreading 1 of 2: "}, {}, 129},
        {"\n3\n", "1 MAVEK_HOOK_AT='read 3' MAVEK_HOOK_RAISE=3", ">stdout", go, "", {"\rreading 1 of 2: "}, {}, 131},
        // One that the shell ignores stays ignored: the run goes on.
        {"\n3\n", "1 MAVEK_HOOK_IGNORE=2 MAVEK_HOOK_AT='read 3' MAVEK_HOOK_RAISE=2", ">stdout", report_3, "",
         {"\rreading 2 of 2: "}, {}},
        // A path that fails to load is escaped on a terminal's standard output too.
        {"", "0", "", "", "error; file re\\302\\255port failed to load\n" + hint + "error; cannot open re\\302\\255port: "
         "No such file or directory\n", {}, {"\xc2\xad"}, 1, 80, "'re\xc2\xadport'"},
        {"\n3\n", "0", ">stdout", report_3, "", {}, {"\r"}},  // a run that lasts no time shows nothing at all
        // Quiet for a second from the status line's start, not the clock's zero: writing the progress line took 0.25 s.
        {"\n3\n", "0.25", ">stdout", report_3, "", {}, {"reading"}, 0, 80, "input", 0},
        // A terminal that refuses a line (it takes nothing) is written no more, on no descriptor.
        {"\n3\n", "1 MAVEK_HOOK_AT='read 1' MAVEK_HOOK_FAIL='write 0 1'", ">stdout", report_3, "", {}, {"reading"}},
        {"", "1", ">stdout", go, "", {"\rreading 1 of 2: 6 B, "}, {" of 6"}, 0, 80, "/proc/sys/kernel/ostype"},
        // Where standard error is not a terminal, nothing is written there, however long the run.
        {"\n3\n", "1", ">stdout", report_3, "", {}, {"\r"}, 0, 0},
    };
    // clang-format on
    const run_folder folder;
    for (const auto& r : rows) {
        const run_case c = {.args = r.args,
                            .input = r.input,
                            .out_to = r.out_to,
                            .hole = r.hole,
                            .hook = "MAVEK_HOOK_L2=2097152 MAVEK_HOOK_CLOCK=" + r.clock,
                            .columns = r.columns};
        folder.write_input(c);
        const auto [out, shown, status] = run_tool(c, folder.dir);
        EXPECT_EQ(std::tuple(out, screen_after(shown), status), std::tuple(r.out, r.screen, r.status))
            << r.columns << " columns: " << ::testing::PrintToString(shown);
        for (const auto& text : r.shown) EXPECT_NE(shown.find(text), std::string::npos) << text << " in " << shown;
        for (const auto& text : r.not_shown) EXPECT_EQ(shown.find(text), std::string::npos) << text << " in " << shown;
        for (std::size_t at = 0, next; (next = shown.find('\r', at + 1)) != std::string::npos; at = next)
            EXPECT_LE(next - at, 1 + (r.columns - 1) + 3) << shown.substr(at, next - at);  // \r, the text, ESC [ K
    }
}

// From the smallest address space in which the program loads, in small
// steps, up to the one in which it ends as it does without a limit: every run
// ends with the report or with one of the error lines its memory may give and
// status 1, never with a signal or an abort. Somewhere on the way there is
// room for the program but not for the block it reads into.
TEST(mavek_tally, ends_in_order_under_any_address_space_limit) {
    if (!address_space_limits) GTEST_SKIP() << "this build cannot start under a limit on its address space";
    const run_folder folder;
    const std::string no_block = "error; out of memory\n";
    // Too little memory for the block, or for the counter of one of the file's values: the table is
    // mapped last, so a limit that leaves room for the block may leave none for its first page.
    const auto short_of_memory = [&](const run_case& c, const std::string& err) {
        std::istringstream lines(c.input);
        std::string text;
        for (std::size_t n = 1; std::getline(lines, text); ++n)
            if (err ==
                "error; line " + std::to_string(n) + ": value " + text + " needs more memory than is available\n")
                return true;
        return err == no_block;
    };
    run_case cases[] = {
        {"input", "3\n5\n5\n", go + "1 0\n2 0\n3 1\n4 0\n5 2\n", "", 0},
        {"input", "1\n-2\n", go, "error; line 2: negative value -2\n", 1},
        {"input", "1000000\n", report_of(1000000), "", 0},  // a table of a few MB
    };
    for (auto& c : cases) {
        folder.write_input(c);
        const auto run_in = [&](int kib) {
            c.setup = "ulimit -v " + std::to_string(kib) + ";";
            return run_tool(c, folder.dir);
        };
        // The smallest limit in which timeout(1) and the loader fit the program in, by bisection.
        int low = 1024, high = 64 * 1024;
        while (high - low > 16) {
            const int middle = (low + high) / 2;
            const auto [out, err, status] = run_in(middle);
            (status >= 125 && status <= 127 && out.empty() ? low : high) = middle;
        }
        bool done = false, no_block_seen = false;
        // Every 16 KiB near the start, where the small allocations fail; then every 64 KiB.
        for (int kib = high; kib < 64 * 1024 && !done; kib += kib < high + 1024 ? 16 : 64) {
            const auto [out, err, status] = run_in(kib);
            done = std::tuple(out, err, status) == std::tuple(c.out, c.err, c.status);
            no_block_seen = no_block_seen || err == no_block;
            EXPECT_TRUE(done || (status == 1 && out == go && short_of_memory(c, err)))
                << kib << " KiB: status " << status << ", " << err;
        }
        EXPECT_TRUE(done && no_block_seen) << c.input;
    }
}

// A 5 GiB line that costs no disk, read in 64 MiB of address space where
// that can be limited: no line is ever held whole, and offsets are 64-bit.
// It takes seconds; `ctest -LE large` leaves it out.
TEST(mavek_tally_large, reads_a_5_gib_line_in_little_memory) {
    const run_case line = {.args = "input",
                           .input = "\n3\n",
                           .out = go + "1 0\n2 0\n3 1\n",
                           .setup = address_space_limits ? "ulimit -v 65536;" : "",
                           .hole = off_t{5} << 30};
    run_cases({&line, 1});
}

}  // namespace
}  // namespace mavek
