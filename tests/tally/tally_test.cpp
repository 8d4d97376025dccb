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
#include <cstring>
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
        {"12abc", 12}, {"abc", 0}, {"", 0}, {"+7", 7}, {"-3", -3}, {"007", 7}, {"3.9", 3}, {"0x1F", 0}, {"+-5", 0},
        {"1\0""2"s, 1}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"4294967297", INT32_MAX},
        {"99999999999999999999999", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
    };
    // clang-format on
    for (const auto& [token, value] : cases) EXPECT_EQ(token_value(token), value) << '"' << token << '"';
}

// Every byte at every place where the scan reads a line in its own way:
// after 1 to 10 digits, before them, after a sign, after leading zeros and
// spaces, at the end of a line or before more digits; each such line in every
// lane of a group of eight plain lines, and with its odd byte as the last and
// as the first byte of a 64-byte chunk and of a 2048-byte slice (a read block
// of 4096 bytes ends on every other one). Lines come eight at a time, so that
// lanes stay where they are put.
std::string lines_around(char odd) {
    static const char* const stems[] = {"", "7", "42", "913", "5082", "61734", "270458", "3819276", "40712953",
                                        "123456789", "2147483648", "-", "+", "-0", "+0", "0", "0000", "0000000",
                                        "00000000", "+000000", " ", "\t", "       ", "        ", " +", " 00",
                                        "\v+00", "  -12"};
    std::string bytes;
    for (const std::string stem : stems) {
        for (const std::string tail : {"", "35"}) {
            std::string line = stem;
            line.append(1, odd).append(tail).append(1, '\n');
            for (int lane = 0; lane < 8; ++lane)
                for (int k = 0; k < 8; ++k) bytes += k == lane ? line : std::to_string(k * 37 + lane + 1) + "\n";
            for (const std::size_t edge : {64, 2048}) {
                for (const std::size_t before : {1, 0}) {
                    const std::size_t at = bytes.size() + 2 + stem.size();  // of the odd byte, after the shortest filler
                    bytes.append("9").append((2 * edge - before - at % edge) % edge, 'a').append("\n").append(line);
                }
            }
        }
    }
    return bytes;
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

// One file read on one path as the model reads it: every visit, the pass's
// end, a stop after two visits, the first pass's largest value or first
// negative, and the second pass's counts, with a table as large as the
// largest value and with one too small for it.
void expect_passes_like_the_model(int input, const std::string& bytes, const scan_options& options) {
    const visits expected = model_visits(bytes);
    visits seen;
    const auto note = [&](std::int32_t value, std::uint64_t line) {
        seen.emplace_back(value, line);
        return seen.size() != 2 || expected.size() != 2;  // stops at the second of two
    };
    const pass_end end = scan_pass(input, note, options);
    EXPECT_TRUE(seen == expected) << first_difference(seen, expected);
    // The fingerprint is the sum of value × line, however the path finds it.
    std::uint64_t fingerprint = 0;
    for (const auto& [value, line] : expected) fingerprint += std::uint64_t{static_cast<std::uint32_t>(value)} * line;
    const auto newlines = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    EXPECT_EQ(end.stopped, expected.size() == 2);
    if (!end.stopped) {
        EXPECT_EQ(std::tuple(end.bytes, end.lines, end.fingerprint), std::tuple(bytes.size(), newlines, fingerprint));
    }

    std::int32_t largest = 0;
    const pass_end first = find_largest_value(input, largest, options);
    const auto [model_largest, negative_line] = model_first_pass(expected);
    EXPECT_EQ(std::tuple(largest, first.stopped, first.failure ? first.failure->line : 0),
              std::tuple(model_largest, model_largest < 0, negative_line));

    // A table as large as the largest value (up to a size that costs little
    // where it is touched), and one counter short of it. Each value seen, and
    // the ones beside it, must hold the model's count.
    std::uint32_t most = 0;
    for (const auto& visit : expected) most = std::max(most, static_cast<std::uint32_t>(std::max(visit.first, 0)));
    for (const std::uint32_t size : {std::min(most + 1, 1U << 20), std::min(most, (1U << 20) - 1)}) {
        if (size == 0) continue;
        tally_table table = *make_tally_table(static_cast<std::int32_t>(size - 1));
        const pass_end second = count_values(input, table, options);
        const auto [counts, stop] = model_counts(expected, size);
        for (const auto& [value, count] : counts) {
            for (const std::uint32_t near : {value - 1, value, value + 1}) {
                const auto model = counts.find(near);
                if (near < size) {
                    ASSERT_EQ(count_of(table, near), model == counts.end() ? 0 : model->second) << near;
                }
            }
        }
        ASSERT_EQ(second.failure.has_value(), stop < expected.size());
        if (second.failure) {
            EXPECT_EQ(std::tuple(second.failure->fault, second.failure->line),
                      std::tuple(expected[stop].first < 0 ? tally_fault::negative_value
                                                          : tally_fault::value_above_largest,
                                 expected[stop].second));
        }
    }
}

// A few files of many lines of every kind, at random: values that grow with
// the line number, odd lines among them, and text after them.
std::string random_lines(std::uint64_t lines) {
    std::string bytes;
    std::uint32_t random = 1;
    for (std::uint64_t line = 1; line <= lines; ++line) {
        random = random * 1103515245 + 12345;
        bytes += random >> 28 ? std::to_string((random >> 8) % (line * line)) : lines_around(0).substr(random % 9000, 9);
        bytes += std::string(random >> 20 & 63, 'a') + '\n';
    }
    return bytes;
}

// Each file is read on every path, in one block or at the real block size,
// and in blocks of 4096 bytes;
// a small one also at block sizes down to one byte, so that every token and
// line end falls across a block's edge.
TEST(scan_pass, reads_every_byte_at_every_place_as_the_model_does_on_every_path) {
    // clang-format off
    std::vector<std::string> files = {
        "", "5\n", "3\n5\n5\n", "5\n\n2\n", "\n1\n2", " \t\n\v\f\r\n 9", "7\r\n8\r\n", "1\r2\r3\r",
        "  \t4 apples\n12\tdozen -3\n", "\0\0\n\0""5\n5"s,
        // A slice of line ends only, as many as it can hold.
        std::string(5000, '\n') + "4\n",
        // A line that waits past the end of a slice while a 40 KB line passes, between groups of lines.
        "1\n2\n3\n4\n5\n6\n7\n8\n9\n" + std::string(40000, 'x') + "\n5\n1\n2\n3\n4\n5\n6\n7\n8\n",
        random_lines(5000),
        // Several whole blocks of the size a run reads in, the last one short.
        random_lines(default_block_size / 7),
    };
    // Short tokens of every kind, shifted one byte at a time across the edges of chunks.
    for (std::size_t shift = 0; shift < 2 * chunk_bytes + 2; ++shift)
        files.push_back(std::string(shift, ' ') + "1-2\n-34\n+5x\n77 8\n 6\n-\n+\n2\xb5\n");
    for (int byte = 0; byte < 256; ++byte) files.push_back(lines_around(static_cast<char>(byte)));
    // clang-format on
    for (std::size_t row = 0; row < files.size(); ++row) {
        const std::string& bytes = files[row];
        const int input = memory_file(bytes);
        // One block for all of a file, but no larger: each pass makes its block anew.
        std::vector<std::size_t> block_sizes = {4096, std::min(default_block_size, bytes.size() / 4096 * 4096 + 8192)};
        if (bytes.size() < 300) block_sizes.insert(block_sizes.end(), {1, 2, 3, 7, 61});
        for (const scan_path path : runnable_paths()) {
            for (const std::size_t block_size : block_sizes) {
                SCOPED_TRACE("file " + std::to_string(row) + " of " + std::to_string(bytes.size()) + " bytes, " +
                             path_name(path) + ", block size " + std::to_string(block_size));
                expect_passes_like_the_model(input, bytes, {.block_size = block_size, .path = path});
                if (::testing::Test::HasFailure()) return;  // one broken file is enough to read
            }
        }
        ::close(input);
    }
}

// The bound of counting many values at once, exactly: a value one above the
// largest in any lane of a group of plain lines, as a file changed between
// the readings gives it, is caught at its line and never counted; the
// largest itself is counted.
TEST(count_values, stops_at_the_first_value_without_a_counter_in_every_lane) {
    for (const scan_path path : runnable_paths()) {
        for (std::size_t at = 0; at < 48; ++at) {
            std::string bytes;
            for (std::size_t line = 0; line < 64; ++line) bytes += std::to_string(line == at ? 10 : line % 10) + "\n";
            const int input = memory_file(bytes);
            for (const std::int32_t largest : {9, 10}) {
                tally_table table = *make_tally_table(largest);
                const pass_end end = count_values(input, table, {.path = path});
                ASSERT_EQ(end.failure.has_value(), largest == 9) << path_name(path) << ", line " << at + 1;
                if (end.failure) {
                    EXPECT_EQ(std::tuple(end.failure->fault, end.failure->line, end.failure->value),
                              std::tuple(tally_fault::value_above_largest, at + 1, 10));
                }
                std::uint64_t counted = 0;
                for (std::uint32_t value = 0; value < table.size; ++value) counted += count_of(table, value);
                EXPECT_EQ(counted, largest == 9 ? at : 64) << path_name(path) << ", line " << at + 1;
            }
            ::close(input);
        }
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
        EXPECT_FALSE(count_values(input, table, {}, std::max(start_1, start_2)).failure) << bytes;
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
