// End-to-end: the built mavek-tally, run as a user runs it, on real files,
// real devices and real resource limits.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_files.h"

namespace mavek {
namespace {

enum class stdout_to { file, dev_full, closed };

struct run_result {
    int status;  // the exit status, or 128 + the signal that killed the process
    std::string out;
    std::string err;
};

// Runs mavek-tally with args in dir, its standard output and error captured
// in files there (or standard output sent elsewhere), under an optional limit
// on its address space.
run_result run_tool(const std::vector<std::string>& args, const test::temp_dir& dir, stdout_to out = stdout_to::file,
                    rlim_t address_space = RLIM_INFINITY) {
    const std::string out_path = dir.path / "stdout", err_path = dir.path / "stderr";
    std::vector<char*> argv{const_cast<char*>("mavek-tally")};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
        if (out == stdout_to::closed) {
            ::close(STDOUT_FILENO);
        } else {
            const char* target = out == stdout_to::file ? out_path.c_str() : "/dev/full";
            ::dup2(::open(target, O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        }
        const rlimit limit{address_space, address_space};
        if (::chdir(dir.path.c_str()) != 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
        ::execv(MAVEK_TALLY_BINARY, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            out == stdout_to::file ? test::read_file(out_path) : "", test::read_file(err_path)};
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct run_case {
    std::string name;
    std::vector<std::string> args;  // "{dir}" stands for the test's folder
    std::string input;              // the contents of {dir}/input
    std::string out;
    std::string err;
    int status;
    stdout_to out_to = stdout_to::file;
    rlim_t address_space = RLIM_INFINITY;
};

const std::string progress = "Processing mavek file...\n";
const std::string load_hint = "check filename and if file is present in same directory as program\n";

TEST(mavek_tally, prints_the_report_or_one_failure_with_its_exit_status) {
    const run_case cases[] = {
        {"report", {"{dir}/input"}, "3 a\n5\n\n5 b\n", progress + "1 0\n2 0\n3 1\n4 0\n5 2\n", "", 0},
        {"extra arguments ignored", {"{dir}/input", "x", "--help"}, "2\n", progress + "1 0\n2 1\n", "", 0},
        {"relative path from the working directory", {"input"}, "1\n", progress + "1 1\n", "", 0},
        {"empty file", {"{dir}/input"}, "", progress, "", 0},
        {"no argument", {}, "", "error; no filename \n", "", 1},
        {"missing file", {"data.txt"}, "", "error; file data.txt failed to load\n" + load_hint, "", 1},
        {"empty path", {""}, "", "error; file  failed to load\n" + load_hint, "", 1},
        {"directory", {"{dir}"}, "", "error; file {dir} failed to load\n" + load_hint, "", 1},
        {"negative value", {"input"}, "1\n\n-3 x\n", progress, "error; line 3: negative value -3\n", 1},
        {"read error", {"/proc/self/mem"}, "", progress, "error; cannot read /proc/self/mem: Input/output error\n", 1},
        {"FIFO",
         {"{dir}/fifo"},
         "",
         progress,
         "error; cannot rewind {dir}/fifo, which is read twice: Illegal seek\n",
         1},
        {"table larger than memory",
         {"input"},
         "1\n2147483647\n",
         progress,
         "error; largest value 2147483647 needs more memory than is available\n",
         1,
         stdout_to::file,
         256 << 20},
        {"full standard output",
         {"input"},
         "1\n",
         "",
         "error; cannot write standard output: No space left on device\n",
         1,
         stdout_to::dev_full},
        {"closed standard output",
         {"input"},
         "1\n",
         "",
         "error; cannot write standard output: Bad file descriptor\n",
         1,
         stdout_to::closed},
        {"closed standard output, no argument",
         {},
         "",
         "",
         "error; cannot write standard output: Bad file descriptor\n",
         1,
         stdout_to::closed},
    };
    const test::temp_dir dir;
    const std::string fifo = dir.path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing, so that the tool's open for reading does not wait.
    const int fifo_writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fifo_writer, 0);

    for (const auto& c : cases) {
        dir.file("input", c.input);
        std::vector<std::string> args;
        for (const auto& arg : c.args) args.push_back(replaced(arg, "{dir}", dir.path));
        const run_result result = run_tool(args, dir, c.out_to, c.address_space);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.out, replaced(c.out, "{dir}", dir.path)) << c.name;
        EXPECT_EQ(result.err, replaced(c.err, "{dir}", dir.path)) << c.name;
    }
    ::close(fifo_writer);
}

// A 5 GiB line costs no disk when the file is sparse. Under a 64 MiB address
// space the run only succeeds if no line is ever held whole.
TEST(mavek_tally, reads_a_5_gib_line_in_constant_memory) {
    const test::temp_dir dir;
    const std::string path = dir.file("input", "");
    const int file = ::open(path.c_str(), O_WRONLY);
    constexpr off_t five_gib = off_t{5} << 30;
    ASSERT_EQ(::pwrite(file, "\n7\n", 3, five_gib), 3);
    ::close(file);
    const run_result result = run_tool({path}, dir, stdout_to::file, 64 << 20);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, progress + "1 0\n2 0\n3 0\n4 0\n5 0\n6 0\n7 1\n");
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace mavek
