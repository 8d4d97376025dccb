// End-to-end: the built mavek-tally, run from a shell as a user runs it, on
// real files, devices and resource limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::string args;   // shell words, run in a folder that holds "input", "fifo" and "dir"
    std::string input;  // the bytes of "input", after `hole` bytes of a sparse file
    std::string out, err;
    int status;
    std::string out_to = ">stdout";
    int memory_mib = 0;  // a limit on the address space, if not 0
    off_t hole = 0;
    std::string meanwhile{};  // shell commands run meanwhile; the tool is process $! and reads "input" as fd 3
};

// Returns standard output, standard error and the exit status (128 + the signal, if one killed it).
std::tuple<std::string, std::string, int> run_tool(const run_case& c, const fs::path& dir) {
    const std::string limit = c.memory_mib ? "ulimit -v " + std::to_string(c.memory_mib << 10) + " && " : "";
    const std::string command = "cd '" + dir.string() + "' && : >stdout || exit; (" + limit +
                                "exec " MAVEK_TALLY_BINARY " " + c.args + " 2>stderr " + c.out_to + " 3<&-) & " +
                                c.meanwhile + " wait $!";
    const int status = std::system(command.c_str());
    return {read_file(dir / "stdout"), read_file(dir / "stderr"),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// Runs each case in a fresh folder that holds "input", a FIFO "fifo" (with a
// writer, so that opening it does not wait) and a directory "dir".
void run_cases(std::span<const run_case> cases) {
    const fs::path dir = fs::temp_directory_path() / ("mavek-tally-test-" + std::to_string(::getpid()));
    fs::create_directories(dir / "dir");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const int fifo_writer = ::open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC);
    for (const auto& c : cases) {
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer reserves terabytes of address space at start, so it
        // cannot start at all under a limit on it: those cases are skipped here.
        if (c.memory_mib != 0) continue;
#endif
        std::ofstream(dir / "input", std::ios::binary).close();
        fs::resize_file(dir / "input", static_cast<std::uintmax_t>(c.hole));
        std::ofstream(dir / "input", std::ios::binary | std::ios::app) << c.input;
        EXPECT_EQ(run_tool(c, dir), std::tuple(c.out, c.err, c.status)) << c.args << " < " << c.input;
    }
    ::close(fifo_writer);
    fs::remove_all(dir);
}

const std::string go = "Processing mavek file...\n";

TEST(mavek_tally, prints_the_report_or_one_failure_with_its_exit_status) {
    const std::string hint = "check filename and if file is present in same directory as program\n";
    const std::string no_stdout = "error; cannot write standard output: ";
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
        {"fifo", "", go, "error; cannot rewind fifo, which is read twice: Illegal seek\n", 1},
        {"input", "2147483647\n", go, "error; largest value 2147483647 needs more memory than is available\n", 1,
         ">stdout", 256},
        {"input", "1\n", "", no_stdout + "No space left on device\n", 1, ">/dev/full"},
        {"input", "1\n", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"", "", "", no_stdout + "Bad file descriptor\n", 1, ">&-"},
        {"input", "-1\n", go, "", 1, ">stdout 2>&-"},  // with standard error closed too, only the status tells
        // A reader that goes away ends the run as it ends any filter: quietly.
        {"input", "100000\n", go, "", 0, "| head -1 >stdout"},
    };
    // clang-format on
    run_cases(cases);
}

// Sparse 5 GiB lines take seconds; `ctest -E large` leaves them out.
TEST(mavek_tally_large, reads_a_5_gib_line_in_little_memory_and_sees_a_file_grow) {
    // Once the read position falls back for the second pass, append a value the first pass never saw. The 5 GiB
    // sparse line before it leaves seconds for that.
    const std::string grow =
        "i=0 last=0; while [ $i -lt 6000 ] && pos=$(sed -n 's/^pos:\\s*//p' /proc/$!/fdinfo/3);"
        " [ \"${pos:-0}\" -ge $last ]; do i=$((i + 1)) last=${pos:-0}; sleep 0.01; done;"
        " echo 9 >>input;";
    // clang-format off
    const run_case cases[] = {
        // A 5 GiB line that costs no disk, read in 64 MiB of address space: no line is ever held whole.
        {"input", "\n3\n", go + "1 0\n2 0\n3 1\n", "", 0, ">stdout", 64, off_t{5} << 30},
        {"input", "\n3\n", go, "error; line 3: value 9 is above the largest value 3 of the first pass; the file changed "
         "while it was read\n", 1, ">stdout", 0, off_t{5} << 30, grow},
    };
    // clang-format on
    run_cases(cases);
}

}  // namespace
}  // namespace mavek
