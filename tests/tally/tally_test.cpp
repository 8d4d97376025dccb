#include "tally/scan_model.h"
#include "tally/scan_pass.h"
#include "tally/tally_error.h"
#include "tally/tally_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mavek {
namespace {

using namespace std::string_literals;

// A file in memory that reads, seeks and writes like one on disk.
int memory_file(const std::string& bytes) {
    const int file = ::memfd_create("input", 0);
    EXPECT_EQ(::write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return file;
}

TEST(token_value, reads_a_leading_decimal_number_as_strtol_does) {
    // clang-format off
    const std::pair<std::string, std::int32_t> cases[] = {
        {"7", 7}, {"12abc", 12}, {"5:", 5}, {"/5", 0}, {"abc", 0}, {"", 0}, {"+7", 7}, {"-3", -3}, {"-0", 0},
        {"007", 7}, {"0x1F", 0}, {"-", 0}, {"+-5", 0}, {"1\0""2"s, 1},
        {"\xff""9", 0}, {"0000000000000000000000012", 12}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
        {"4294967297", INT32_MAX}, {"99999999999999999999999", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN}, {"-99999999999999999999999", INT32_MIN},
    };
    // clang-format on
    for (const auto& [token, value] : cases) EXPECT_EQ(token_value(token), value) << '"' << token << '"';
}

// A file of many lines of every kind, and the visits that the model expects
// of it. Values grow with the line number, so the largest keeps changing;
// extremes adds a negative value and one past the 32-bit range.
std::pair<std::string, visits> model_file(bool extremes, std::uint64_t lines = 5000) {
    const char* const odd[] = {"",
                               " ",
                               "  8",
                               "\t9",
                               "+6",
                               "x",
                               "3.5",
                               "65\r",
                               "0012",
                               "-0",
                               extremes ? "-5" : "0",
                               extremes ? "999999999999" : "1"};
    std::string bytes;
    std::uint32_t random = 1;
    for (std::uint64_t line = 1; line <= lines; ++line) {
        random = random * 1103515245 + 12345;
        bytes += random >> 28 ? std::to_string((random >> 8) % (line * line)) : odd[(random >> 16) % 12];
        bytes += std::string(random >> 20 & 63, 'a') + '\n';
    }
    return {bytes, model_visits(bytes)};
}

// The paths this processor can run: each up to the fastest it has.
std::vector<scan_path> runnable_paths() {
    std::vector<scan_path> paths{scan_path::portable};
    for (const scan_path path : {scan_path::avx2, scan_path::avx512})
        if (path <= fastest_scan_path()) paths.push_back(path);
    return paths;
}

std::string path_name(scan_path path) {
    return path == scan_path::avx512 ? "avx512" : path == scan_path::avx2 ? "avx2" : "portable";
}

// Where the visits first differ from the expected ones, in one line: a row
// can hold thousands.
std::string first_difference(const visits& seen, const visits& expected) {
    const auto [at, _] = std::mismatch(seen.begin(), seen.end(), expected.begin(), expected.end());
    const auto i = static_cast<std::size_t>(at - seen.begin());
    const auto show = [i](const visits& v) {
        return i < v.size() ? std::to_string(v[i].first) + " at line " + std::to_string(v[i].second) : "nothing";
    };
    return "visit " + std::to_string(i) + ": got " + show(seen) + ", want " + show(expected);
}

// Each file is read on every path at block sizes down to one byte, so that
// every token and line end also falls across a block edge and a 64-byte chunk.
// The first pass must give the largest value, or stop at the first negative.
TEST(scan_pass, visits_each_line_with_a_token_once_and_finds_the_largest_on_every_path) {
    // clang-format off
    std::vector<std::pair<std::string, visits>> cases = {
        {"", {}}, {"5\n", {{5, 1}}}, {"3\n5", {{3, 1}, {5, 2}}}, {"5\n\n2\n", {{5, 1}, {2, 3}}},
        {"\n1\n1\n\n", {{1, 2}, {1, 3}}}, {" \t\n\v\f\r\n 9", {{9, 3}}}, {"7\r\n8\r\n", {{7, 1}, {8, 2}}},
        {"1\r2\r3\r", {{1, 1}}}, {"  \t4 apples\n12\tdozen -3\n", {{4, 1}, {12, 2}}},
        {"x\n-\n+8 9\n-3", {{0, 1}, {0, 2}, {8, 3}, {-3, 4}}}, {"\0\0\n\0""5\n5"s, {{0, 1}, {0, 2}, {5, 3}}},
        {"000000000000000000042 x\n12345678901234567890\n", {{42, 1}, {INT32_MAX, 2}}},
        // The bytes just outside the digits, right after a number read many bytes at a time.
        {"12:\n34/\n9999999:\n", {{12, 1}, {34, 2}, {9999999, 3}}},
        // A slice of line ends only, as many as it can hold.
        {std::string(5000, '\n') + "4\n", {{4, 5001}}},
        // Lines of any format, many in a row: each is read inside the kernel.
        {" 1x\n+2x\n00000003 x\n      4 uniq\n123456789\n\t-0\n", {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {123456789, 5}, {0, 6}}},
        // Bytes above 0x7F right after the digits, as in UTF-8 units: 5 °C, 12µm.
        {"5 \xc2\xb0""C\n12\xc2\xb5m\n9\x80\n3\xff\xff\xff\xff\xff\xff\xff\n77\xb0\n"s,
         {{5, 1}, {12, 2}, {9, 3}, {3, 4}, {77, 5}}},
        // At block size 7 the last block is short, and the longer one before it is still in the buffer.
        {"111\n22\n5\n", {{111, 1}, {22, 2}, {5, 3}}},
        // A line start, or a run of digits, that crosses into the next 64-byte chunk.
        {"1"s + std::string(62, 'a') + "\n9\n", {{1, 1}, {9, 2}}},
        {"1"s + std::string(62, 'a') + "\n-9\n", {{1, 1}, {-9, 2}}},
        {"5555\n1"s + std::string(118, 'a') + "\n6666\n", {{5555, 1}, {1, 2}, {6666, 3}}},
        model_file(false), model_file(true),
        // Several whole blocks of the size a run reads in (lines of 38 bytes
        // on average), the last one short.
        model_file(false, default_block_size / 7),
    };
    // The widest path's steps at their limits: a slice of short lines, more
    // than a batch of values; 33 line ends in one chunk; lines left over from
    // a slice while a 40 KB line passes, between groups of lines; a line of
    // eight spaces before its number, beside a plain one in the same group.
    const std::string group = "1\n2\n3\n4\n5\n6\n7\n8\n", long_line = std::string(40000, 'x') + "\n5\n";
    std::string short_lines, long_wait = "1\n2\n3\n" + long_line, between_groups = group + "9\n" + long_line + group;
    std::string spaced = "        5\n";
    for (int line = 0; line < 3000; ++line) short_lines += std::to_string(line % 10) + "\n";
    std::string crowded;
    for (int line = 0; line < 31; ++line) crowded += "1\n";
    crowded += "\n\n9\n";
    for (int line = 0; line < 15; ++line) spaced += line % 2 ? "73\n" : "        5\n";
    for (const std::string& bytes : {short_lines, crowded, long_wait, between_groups, spaced})
        cases.emplace_back(bytes, model_visits(bytes));
    // Short tokens of every kind, shifted one byte at a time across the edges
    // of blocks and chunks: a sign, the digits and the byte after them each
    // land in the next block at some shift.
    for (std::size_t shift = 0; shift < 2 * chunk_bytes + 2; shift += 3) {
        const std::string bytes = std::string(shift, ' ') + "1-2\n-34\n+5x\n77 8\n 6\n-\n+\n2\xb5\n";
        cases.emplace_back(bytes, model_visits(bytes));
    }
    // clang-format on
    for (std::size_t row = 0; row < cases.size(); ++row) {
        const auto& [bytes, expected] = cases[row];
        const auto first_pass = model_first_pass(expected);
        const int input = memory_file(bytes);
        const auto newlines = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
        for (const scan_path path : runnable_paths()) {
            // A file of several real blocks is read in large ones only, to keep the time down.
            const auto block_sizes = bytes.size() > 3 * default_block_size
                                         ? std::vector<std::size_t>{4099, default_block_size}
                                         : std::vector<std::size_t>{1, 2, 3, 7, 61, 4099, default_block_size};
            for (const std::size_t block_size : block_sizes) {
                SCOPED_TRACE("row " + std::to_string(row) + ", " + path_name(path) +
                             ", block size " + std::to_string(block_size));
                visits seen;
                const auto note = [&](std::int32_t value, std::uint64_t line) {
                    seen.emplace_back(value, line);
                    return true;
                };
                const pass_end end = scan_pass(input, note, block_size, path);
                EXPECT_TRUE(seen == expected) << first_difference(seen, expected);
                EXPECT_EQ(std::tuple(end.bytes, end.lines, end.stopped), std::tuple(bytes.size(), newlines, false));
                // The fingerprint is the sum of value × line, however the path finds it.
                std::uint64_t fingerprint = 0;
                for (const auto& [value, line] : expected) fingerprint += std::uint64_t{static_cast<std::uint32_t>(value)} * line;
                EXPECT_EQ(end.fingerprint, fingerprint);
                // A visitor that says stop after its second line is not called again.
                seen.clear();
                const auto two = [&](std::int32_t value, std::uint64_t line) {
                    seen.emplace_back(value, line);
                    return seen.size() < 2;
                };
                EXPECT_EQ(scan_pass(input, two, block_size, path).stopped, expected.size() >= 2);
                EXPECT_TRUE(seen ==
                            visits(expected.begin(), expected.begin() + std::min<std::size_t>(2, expected.size())));
                largest_value largest;
                const pass_end first = scan_pass(input, largest, block_size, path);
                EXPECT_EQ(std::pair(largest.value, largest.line), first_pass);
                EXPECT_EQ(first.stopped, first_pass.first < 0);
                if (!first.stopped) {
                    EXPECT_EQ(first.lines, newlines);
                }
            }
        }
        ::close(input);
    }
}

// The ways to find newlines agree on every byte value at every position of a
// chunk, and a vector path is only chosen where the processor has it.
TEST(scan_path, masks_agree_on_every_byte_at_every_position) {
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2"), avx512 = fastest_scan_path() == scan_path::avx512;
    if (!avx2) {
        EXPECT_EQ(fastest_scan_path(), scan_path::portable);
    }
#endif
    char chunk[chunk_bytes];
    for (int byte = 0; byte < 256; ++byte) {
        for (std::size_t at = 0; at < chunk_bytes; ++at) {
            std::fill(std::begin(chunk), std::end(chunk), 'x');
            chunk[at] = static_cast<char>(byte);
            const std::uint64_t want = byte == '\n' ? std::uint64_t{1} << at : 0;
            ASSERT_EQ(word_newline_mask(chunk), want) << byte << " at " << at;
            ASSERT_EQ(newline_mask<scan_path::portable>(chunk), want) << byte << " at " << at;
#if defined(__x86_64__)
            if (avx2) {
                ASSERT_EQ(newline_mask<scan_path::avx2>(chunk), want) << byte << " at " << at;
            }
            if (avx512) {
                ASSERT_EQ(newline_mask<scan_path::avx512>(chunk), want) << byte << " at " << at;
            }
#endif
        }
    }
#if defined(__x86_64__)
    if (!avx512)
        GTEST_SKIP() << "the processor lacks AVX-512 (F, BW, CD, DQ, VBMI2)" << (avx2 ? "" : " and AVX2")
                     << ": those paths are not tested here";
#endif
}

// A value that has no counter ends the second pass with its failure, at its
// line; the largest value itself has one.
TEST(count_values, counts_up_to_the_largest_and_stops_at_a_value_without_a_counter) {
    struct row {
        std::string bytes;
        std::int32_t largest;
        std::optional<tally_fault> fault;
        std::uint64_t line;
    };
    const row rows[] = {
        {"1\n3\n3\n", 3, std::nullopt, 0},
        {"1\n4\n", 3, tally_fault::value_above_largest, 2},
        {"1\n\n-1\n", 3, tally_fault::negative_value, 3},
    };
    for (const auto& [bytes, largest, fault, line] : rows) {
        const int input = memory_file(bytes);
        tally_table table = *make_tally_table(largest);
        const pass_end end = count_values(input, table);
        ASSERT_EQ(end.failure.has_value(), fault.has_value()) << bytes;
        if (fault) {
            EXPECT_EQ(std::tuple(end.failure->fault, end.failure->line, end.failure->largest_value),
                      std::tuple(*fault, line, largest));
        } else {
            EXPECT_EQ(std::tuple(count_of(table, 1), count_of(table, 2), count_of(table, 3)), std::tuple(1, 0, 2));
        }
        ::close(input);
    }
}

// Any difference between the two readings is a change, but for the size of a
// file that the system cannot know (/proc says 0, /sys a page) or that has
// none (a device).
TEST(readings_agree, only_when_nothing_tells_the_readings_apart) {
    struct readings {
        struct stat before, after;
        pass_end first, second;
        std::uint32_t largest_count = 1;
        bool size_is_length = true;
    };
    readings same{.before = {}, .after = {}, .first = {.bytes = 10, .lines = 2}, .second = {.bytes = 10, .lines = 2}};
    same.before.st_mode = same.after.st_mode = S_IFREG;
    same.before.st_size = same.after.st_size = 10;
    const std::pair<bool, std::function<void(readings&)>> rows[] = {
        {true, [](readings&) {}},
        {false, [](readings& r) { ++r.after.st_dev; }},
        {false, [](readings& r) { ++r.after.st_ino; }},
        {false, [](readings& r) { ++r.after.st_size; }},
        {false, [](readings& r) { ++r.before.st_size; }},  // the size alone: the bytes read still match after
        {false, [](readings& r) { ++r.before.st_dev; }},
        {false, [](readings& r) { ++r.before.st_mtim.tv_sec; }},
        {false, [](readings& r) { ++r.before.st_ctim.tv_nsec; }},
        {false, [](readings& r) { ++r.after.st_mtim.tv_sec; }},
        {false, [](readings& r) { ++r.after.st_mtim.tv_nsec; }},
        {false, [](readings& r) { ++r.after.st_ctim.tv_sec; }},
        {false, [](readings& r) { ++r.after.st_ctim.tv_nsec; }},
        {false, [](readings& r) { r.first.bytes = r.second.bytes = 9; }},
        {false, [](readings& r) { ++r.second.bytes; }},
        {false, [](readings& r) { ++r.second.lines; }},
        {false, [](readings& r) { ++r.second.fingerprint; }},
        {true, [](readings& r) { r.first.bytes = r.second.bytes = 6, r.size_is_length = false; }},  // /sys
        {false, [](readings& r) { r.largest_count = 0; }},
        {true, [](readings& r) { r.before.st_size = r.after.st_size = 0; }},
        {true, [](readings& r) { r.before.st_mode = r.after.st_mode = S_IFCHR, r.first.bytes = r.second.bytes = 3; }},
    };
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        readings r = same;
        rows[row].second(r);
        tally_table table = *make_tally_table(2);
        table.counters[2] = r.largest_count;
        EXPECT_EQ(readings_agree(r.before, r.after, r.first, r.second, table, r.size_is_length), rows[row].first)
            << "row " << row;
    }
}

// Counting and printing go on past 32 bits: counters start as if 2^32 - 1
// (or, with a high half, more) lines had come before. The high half is made
// on the first wrap and kept for the next, of the same value or another.
TEST(count_values, counts_and_prints_past_32_bits) {
    struct row {
        std::string bytes;
        std::uint32_t start_1, start_2, high_1;  // counters[1], counters[2], high[1] before counting
        std::string report;
    };
    const row rows[] = {
        {"1\n2\n", UINT32_MAX, 0, 0, "1 4294967296\n2 1\n"},
        {"1\n2\n1\n", UINT32_MAX, UINT32_MAX, 0, "1 4294967297\n2 4294967296\n"},
        {"2\n1\n1\n", UINT32_MAX, UINT32_MAX, 0, "1 4294967297\n2 4294967296\n"},
        {"1\n", UINT32_MAX, 0, 2, "1 12884901888\n2 0\n"},
        {"2\n", UINT32_MAX, UINT32_MAX, UINT32_MAX, "1 18446744073709551615\n2 4294967296\n"},
        // Lines enough to be counted many at a time on the widest path, and a
        // wrap among them, or on the last of them.
        {[] { std::string b; for (int i = 0; i < 8; ++i) b += "1\n2\n"; return b; }(), UINT32_MAX - 2, 5, 0,
         "1 4294967301\n2 13\n"},
        {[] { std::string b; for (int i = 0; i < 16; ++i) b += "1\n"; return b; }(), UINT32_MAX - 15, 0, 0,
         "1 4294967296\n2 0\n"},
    };
    for (const auto& [bytes, start_1, start_2, high_1, report] : rows) {
        const int input = memory_file(bytes), output = memory_file("");
        tally_table table = *make_tally_table(2);
        table.counters[1] = start_1;
        table.counters[2] = start_2;
        if (high_1 != 0) {
            table.high.reset(static_cast<std::uint32_t*>(std::calloc(3, sizeof(std::uint32_t))));
            table.high[1] = high_1;
        }
        EXPECT_FALSE(count_values(input, table, nullptr, std::max(start_1, start_2)).failure) << bytes;
        EXPECT_FALSE(print_report(output, table, 2)) << bytes;
        std::string printed(64, '\0');
        printed.resize(static_cast<std::size_t>(::pread(output, printed.data(), printed.size(), 0)));
        EXPECT_EQ(printed, report) << bytes;
        ::close(input);
        ::close(output);
    }
}

// What the next read(2) and write(2) calls return instead of doing their work.
struct io_faults {
    int read_interrupts = 0, write_interrupts = 0, writes_full = 0, writes_taking_nothing = 0;
} faults;

// write_all must retry a write that a signal interrupted and wait out a full
// non-blocking output, but give up on one that neither fails nor takes a
// byte; read_block must retry an interrupted read.
TEST(write_all, retries_and_waits_but_fails_a_write_that_takes_nothing) {
    struct row {
        io_faults inject;
        int result;
    };
    const row rows[] = {
        {{.write_interrupts = 3}, 0},
        {{.writes_full = 3}, 0},
        {{.write_interrupts = 1, .writes_full = 1}, 0},
        {{.writes_taking_nothing = 1}, EIO},
    };
    for (const auto& [inject, result] : rows) {
        int pipe_ends[2];
        ASSERT_EQ(::pipe(pipe_ends), 0);
        faults = inject;
        EXPECT_EQ(write_all(pipe_ends[1], "1 2\n"), result);
        EXPECT_EQ(std::tuple(faults.write_interrupts, faults.writes_full), std::tuple(0, 0));
        faults = {};
        char got[8] = {};
        ::close(pipe_ends[1]);
        EXPECT_EQ(::read(pipe_ends[0], got, sizeof got), result == 0 ? 4 : 0);
        ::close(pipe_ends[0]);
    }
    const int input = memory_file("7\n");
    ::lseek(input, 0, SEEK_SET);
    faults.read_interrupts = 3;
    char byte = 0;
    EXPECT_EQ(read_block(input, &byte, 1), 1);
    EXPECT_EQ(std::tuple(byte, faults.read_interrupts), std::tuple('7', 0));
    faults = {};
    ::close(input);
}

}  // namespace
}  // namespace mavek

// This program's own read(2) and write(2) take the C library's place in the
// whole process, so that the faults above come exactly when asked for.
extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
    if (mavek::faults.read_interrupts > 0) {
        --mavek::faults.read_interrupts;
        errno = EINTR;
        return -1;
    }
    return ::syscall(SYS_read, fd, buffer, size);
}

extern "C" ssize_t write(int fd, const void* buffer, std::size_t size) {
    auto& faults = mavek::faults;
    for (int* fault : {&faults.write_interrupts, &faults.writes_full}) {
        if (*fault > 0) {
            --*fault;
            errno = fault == &faults.write_interrupts ? EINTR : EAGAIN;
            return -1;
        }
    }
    if (faults.writes_taking_nothing > 0) return --faults.writes_taking_nothing, 0;
    return ::syscall(SYS_write, fd, buffer, size);
}
