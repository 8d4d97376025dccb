// End-to-end: the built mavek-tally, run from a shell as a user runs it, on
// real files, devices and resource limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace mavek {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

struct run_case {
    std::string args;     // shell words, run in a folder that holds "input", "fifo", "lonely", "dir" and a link
    std::string input{};  // the bytes of "input", after `hole` bytes of a sparse file
    std::string out{}, err{};
    int status = 0;
    std::string out_to = ">stdout";
    std::string setup{};  // shell commands run in the tool's own process before it starts: a ulimit, say
    off_t hole = 0;
    std::string meanwhile{};  // shell commands run while the tool, process $tool, reads "input"
    std::string wrapper{};    // a command that execs the words after it, put before the tool
};

// Waits until pass 1 or 2 of the tool has begun, as its read position in
// "input" tells: it leaves 0 for the first and falls back for the second. The
// descriptor is looked up, as an emulator may hold descriptors of its own.
const std::string at_pass =
    "at_pass() { i=0 last=0; while [ $i -lt 3000 ]; do pos=0;"
    " for fd in /proc/$tool/fd/*; do [ \"$(readlink $fd)\" = \"$PWD/input\" ] &&"
    " pos=$(sed -n 's/^pos:\\s*//p' /proc/$tool/fdinfo/${fd##*/}); done;"
    " if [ $1 = 1 ]; then [ \"${pos:-0}\" -gt 0 ] && return; else [ \"${pos:-0}\" -lt $last ] && return; fi;"
    " i=$((i + 1)) last=${pos:-0}; sleep 0.01; done; }; ";

// Returns standard output, standard error and the exit status (128 + the signal, if one killed it).
std::tuple<std::string, std::string, int> run_tool(const run_case& c, const fs::path& dir) {
    const std::string command = "cd '" + dir.string() + "' && : >stdout || exit; " + at_pass + "(" + c.setup +
                                " exec " + c.wrapper + " " MAVEK_TALLY_BINARY " " + c.args + " 2>stderr " + c.out_to +
                                " 3<&-) & tool=$!; " + c.meanwhile + " wait $tool";
    const int status = std::system(command.c_str());
    return {read_file(dir / "stdout"), read_file(dir / "stderr"),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// A fresh folder that holds "input", a FIFO "fifo" with a writer (so that
// opening it does not wait), a FIFO "lonely" without one, a directory "dir",
// and a link to "fifo" whose name holds bytes that would break a line.
struct run_folder {
    fs::path dir = fs::temp_directory_path() / ("mavek-tally-test-" + std::to_string(::getpid()));
    int fifo_writer = -1;

    run_folder() {
        fs::create_directories(dir / "dir");
        ::mkfifo((dir / "fifo").c_str(), 0600);
        ::mkfifo((dir / "lonely").c_str(), 0600);
        fs::create_symlink("fifo", dir / "odd\nname\t\\\x1f\x7f");
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
// the program needs, so they cannot start at all under a limit on it: those
// cases are skipped under either.
#if defined(__SANITIZE_ADDRESS__) || defined(MAVEK_TALLY_EMULATED)
constexpr bool address_space_limits = false;
#else
constexpr bool address_space_limits = true;
#endif

bool runnable(const run_case& c) {
    return address_space_limits || c.setup.find("ulimit -v") == std::string::npos;
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

void run_cases(std::span<const run_case> cases) {
    const run_folder folder;
    for (const auto& c : cases) {
        if (!runnable(c)) continue;
        folder.write_input(c);
        const auto [out, err, status] = run_tool(c, folder.dir);
        EXPECT_TRUE(out == c.out && err == c.err && status == c.status)
            << c.args << " " << c.setup << " " << c.meanwhile << "\n  status " << status << ", want " << c.status
            << "\n  stdout " << first_difference(out, c.out) << "\n  stderr " << first_difference(err, c.err);
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

TEST(mavek_tally, prints_the_report_or_one_failure_with_its_exit_status) {
    const std::string hint = "check filename and if file is present in same directory as program\n";
    const std::string no_stdout = "error; cannot write standard output: ";
    // Sets O_NONBLOCK on standard output, then runs the tool.
    const std::string non_blocking =
        "perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, fcntl(STDOUT, F_GETFL, 0) | O_NONBLOCK) or die; exec @ARGV'";
    // clang-format off
    const run_case cases[] = {
        {"input", "3\n5\n5\n", go + "1 0\n2 0\n3 1\n4 0\n5 2\n", "", 0},
        {"input extra --help", "\n1\n2 b\n\n", go + "1 1\n2 1\n", "", 0},
        {"input", "0\nabc\n  \n-0 x\n", go, "", 0},
        {"input", "", go, "", 0},
        {"", "", "error; no filename \n", "", 1},
        {"data.txt", "", "error; file data.txt failed to load\n" + hint, "", 1},
        {"''", "", "error; file  failed to load\n" + hint, "", 1},
        {"dir", "", "error; file dir failed to load\n" + hint, "", 1},
        {"input", "1\n\n-3 x\n", go, "error; line 3: negative value -3\n", 1},
        {"/proc/self/mem", "", go, "error; cannot read /proc/self/mem: Input/output error\n", 1},
        {"/proc/sys/kernel/ostype", "", go, "", 0},  // a size of 0, but text to read
        {std::string(5000, 'p'), "", "error; file " + std::string(5000, 'p') + " failed to load\n" + hint, "", 1},
        {"fifo", "", go, "error; cannot rewind fifo, which is read twice: Illegal seek\n", 1},
        {.args = "lonely", .out = go, .err = "error; cannot rewind lonely, which is read twice: Illegal seek\n",
         .status = 1, .wrapper = "timeout -s KILL 10"},
        // A path is kept byte for byte on standard output, and escaped where it would break a line of standard error.
        {"'new\nline'", "", "error; file new\nline failed to load\n" + hint, "", 1},
        {"\"$(printf 'odd\\nname\\t\\\\\\037\\177')\"", "", go,
         "error; cannot rewind odd\\nname\\t\\\\\\037\\177, which is read twice: Illegal seek\n", 1},
        {.args = "input", .input = "2147483647\n", .out = go,
         .err = "error; largest value 2147483647 needs more memory than is available\n", .status = 1,
         .setup = "ulimit -v 262144;"},
        {"input", "1\n", "", no_stdout + "No space left on device\n", 1, ">/dev/full"},
        {"input", "1\n", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"", "", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"input", "-1\n", go, "", 1, ">stdout 2>&-"},  // with standard error closed too, only the status tells
        // Past a file-size limit of 512 bytes, the writes fail like any other.
        {.args = "input", .input = "1000\n", .out = report_of(1000).substr(0, 512),
         .err = no_stdout + "File too large\n", .status = 1, .setup = "ulimit -f 1;"},
        // A non-blocking pipe to a reader that is slow to start is waited for, not given up on.
        {.args = "input", .input = "100000\n", .out = report_of(100000), .err = "", .status = 0,
         .out_to = "| (sleep 0.5; cat) >stdout", .wrapper = non_blocking},
        // A reader that goes away ends the run as it ends any filter: quietly.
        {"input", "100000\n", go, "", 0, "| head -1 >stdout"},
    };
    // clang-format on
    run_cases(cases);
}

// The file changes while it is read, in every way it can: the sparse lines
// before the values leave time for that. Any change ends without a report.
TEST(mavek_tally, reports_nothing_from_a_file_that_changed_while_it_was_read) {
    // About half a second a pass, time to act in; an emulator scans ten times slower.
#if defined(MAVEK_TALLY_EMULATED)
    const off_t hole = off_t{256} << 20;
#else
    const off_t hole = off_t{2} << 30;
#endif
    const std::string changed = "error; input changed while it was read\n";
    const std::string in_place = "| dd of=input bs=1 seek=" + std::to_string(hole) + " conv=notrunc 2>/dev/null;";
    // clang-format off
    const run_case cases[] = {
        {.args = "input", .input = "\n9\n", .out = go, .err = changed, .status = 1, .hole = hole,
         .meanwhile = "at_pass 2; printf '\\n1\\n' " + in_place},
        {.args = "input", .input = "\n1\n1\n9\n", .out = go, .err = changed, .status = 1, .hole = hole,
         .meanwhile = "at_pass 2; printf '\\n2\\n2\\n5\\n' " + in_place},
        {.args = "input", .input = "\n9\n", .out = go, .err = changed, .status = 1, .hole = hole,
         .meanwhile = "at_pass 2; : >input;"},
        {.args = "input", .input = "\n3\n9\n", .out = go, .err = changed, .status = 1, .hole = hole,
         .meanwhile = "at_pass 2; truncate -s " + std::to_string(hole + 3) + " input;"},
        {.args = "input", .input = "\n9\n", .out = go, .err = changed, .status = 1, .hole = hole,
         .meanwhile = "at_pass 1; truncate -s " + std::to_string(hole / 2) + " input;"},
        {.args = "input", .input = "\n3\n", .out = go, .err = "error; line 3: value 9 is above the largest value 3 of "
         "the first pass; the file changed while it was read\n", .status = 1, .hole = hole,
         .meanwhile = "at_pass 2; echo 9 >>input;"},
    };
    // clang-format on
    run_cases(cases);

    // Each reading of this file gives another line. Whatever the two give, a
    // report must be one that a reading could give: its largest value counted.
    const run_folder folder;
    for (int run = 0; run < 20; ++run) {
        const auto [out, err, status] = run_tool({.args = "/proc/sys/kernel/random/uuid"}, folder.dir);
        if (status == 0) {
            EXPECT_TRUE(out == go || (out.ends_with(" 1\n") && err.empty())) << out << err;
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_TRUE(out == go && (err.ends_with("the file changed while it was read\n") ||
                                      err == "error; /proc/sys/kernel/random/uuid changed while it was read\n"))
                << err;
        }
    }
}

// From the smallest address space in which the program loads, in steps of
// 16 KiB, up to the one in which it ends as it does without a limit: every run
// ends with the report or with one error line and status 1, never with a
// signal or an abort.
TEST(mavek_tally, ends_in_order_under_any_address_space_limit) {
    if (!address_space_limits) GTEST_SKIP() << "AddressSanitizer and qemu-user cannot start under such a limit";
    const run_folder folder;
    // clang-format off
    const run_case unlimited[] = {
        {"input", "3\n5\n5\n", go + "1 0\n2 0\n3 1\n4 0\n5 2\n", "", 0},
        {"input", "1\n-2\n", go, "error; line 2: negative value -2\n", 1},
        {"input", "1000000\n", report_of(1000000), "", 0},  // a table of a few MB
    };
    // clang-format on
    for (run_case c : unlimited) {
        folder.write_input(c);
        bool loaded = false, done = false;
        for (int kib = 1024; kib < 64 * 1024 && !done; kib += 16) {
            c.setup = "ulimit -v " + std::to_string(kib) + ";";
            const auto [out, err, status] = run_tool(c, folder.dir);
            if (!loaded && status == 127 && out.empty()) continue;  // the loader cannot fit the program in yet
            loaded = true;
            done = std::tuple(out, err, status) == std::tuple(c.out, c.err, c.status);
            const bool one_error_line =
                status == 1 && out == go && err.starts_with("error; ") && err.find('\n') == err.size() - 1;
            EXPECT_TRUE(done || one_error_line) << kib << " KiB: status " << status << ", " << err;
        }
        EXPECT_TRUE(done) << c.input;
    }
}

// A 5 GiB line that costs no disk, read in 64 MiB of address space where
// that can be limited: no line is ever held whole, and offsets are 64-bit.
// It takes seconds; `ctest -LE large` leaves it out.
TEST(mavek_tally_large, reads_a_5_gib_line_in_little_memory) {
    const run_case line = {.args = "input",
                           .input = "\n3\n",
                           .out = go + "1 0\n2 0\n3 1\n",
                           .err = "",
                           .status = 0,
                           .setup = address_space_limits ? "ulimit -v 65536;" : "",
                           .hole = off_t{5} << 30};
    run_cases({&line, 1});
}

}  // namespace
}  // namespace mavek
