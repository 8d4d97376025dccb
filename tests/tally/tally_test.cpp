#include "tally/scan_model.h"
#include "tally/tally_file.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <fstream>
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
        {"99999999999999999999999", INT32_MAX}, {"18446744073709551617", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
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

std::string path_name(scan_path path) {
    return path == scan_path::avx512 ? "avx512" : path == scan_path::avx2 ? "avx2" : "portable";
}

// Each file is read on every path, in one block or at the real block size,
// and in blocks of 4096 bytes; a small one also at block sizes down to one
// byte, so that every token and line end falls across a block's edge.
TEST(scan_pass, reads_every_byte_at_every_place_as_the_model_does_on_every_path) {
    // clang-format off
    std::vector<std::string> files = {
        "", "5\n", "3\n5\n5\n", "5\n\n2\n", "\n1\n2", " \t\n\v\f\r\n 9", "7\r\n8\r\n", "1\r2\r3\r",
        "  \t4 apples\n12\tdozen -3\n", "\0\0\n\0""5\n5"s,
        // A slice of line ends only, as many as it can hold; 33 line ends in a chunk, one past a half.
        std::string(5000, '\n') + "4\n",
        [] { std::string b; for (int i = 0; i < 31; ++i) b += "1\n"; return b; }() + "\n\n2\n",
        // The first line of the fingerprint's second chunk across the edge of a 4096-byte block, or last.
        [] { std::string b; for (int i = 1; i < 1023; ++i) b += "1\n"; return b + "1" + std::string(2048, 'x'); }() +
            "\n12\n3\n",
        [] { std::string b; for (int i = 1; i < 1024; ++i) b += "1\n"; return b + "7"; }(),
        // A line that waits past the end of a slice while a 40 KB line passes, between groups of lines; read
        // from anywhere but its start, the long line gives another value.
        "1\n2\n3\n4\n5\n6\n7\n8\n9\n6" + std::string(40000, 'x') + "\n5\n1\n2\n3\n4\n5\n6\n7\n8\n",
    };
    // Several whole blocks of the size a run reads in, the last one short.
    for (char byte = 'a'; byte <= 'z'; ++byte) (byte == 'a' ? files.emplace_back() : files.back()) += lines_around(byte);
    // Short tokens of every kind, shifted one byte at a time across the edges of chunks.
    for (std::size_t shift = 0; shift < 2 * chunk_bytes + 2; ++shift)
        files.push_back(std::string(shift, ' ') + "1-2\n-34\n+5x\n77 8\n 6\n-\n+\n2\xb5\n");
    for (int byte = 0; byte < 256; ++byte) files.push_back(lines_around(static_cast<char>(byte)));
    // The value one above the largest of the others in each lane of a group of plain lines, as a file
    // changed between the readings gives it: with one counter short, the bound of counting many at once.
    for (std::size_t at = 0; at < 48; ++at) {
        std::string& lines = files.emplace_back();
        for (std::size_t line = 0; line < 64; ++line) lines += std::to_string(line == at ? 10 : line % 10) + "\n";
    }
    // clang-format on
    for (std::size_t row = 0; row < files.size(); ++row) {
        const std::string& bytes = files[row];
        const int input = memory_file(bytes);
        // One block for all of a file, but no larger: each pass makes its block anew.
        std::vector<std::size_t> block_sizes = {4096, std::min(default_block_size, bytes.size() / 4096 * 4096 + 8192)};
        if (bytes.size() < 300) block_sizes.insert(block_sizes.end(), {1, 2, 3, 7, 61});
        for (const scan_path path : {scan_path::portable, scan_path::avx2, scan_path::avx512}) {
            if (path > fastest_scan_path()) break;  // the paths this processor can run
            for (const std::size_t block_size : block_sizes) {
                SCOPED_TRACE("file " + std::to_string(row) + " of " + std::to_string(bytes.size()) + " bytes, " +
                             path_name(path) + ", block size " + std::to_string(block_size));
                // One broken file is enough to read.
                ASSERT_EQ(pass_difference(input, bytes, {.block_size = block_size, .path = path}), "");
            }
        }
        ::close(input);
    }
}

// A line that starts with a plain number (1 to 7 digits, then any other
// byte) is read from its first word, below a visitor's limit, and its value
// goes on in a batch; on the paths that read eight lines at a time,
// so is every line of a group, also after spaces, a plus sign or zeros, and
// only the last lines of the block, fewer than eight, go one by one. A fault
// here costs only speed, which no other test sees.
TEST(scan_pass, hands_plain_lines_on_in_batches) {
    struct batching {
        visits seen;
        std::size_t batched = 0, batches = 0;
        bool operator()(std::int32_t value, std::uint64_t line) { return seen.emplace_back(value, line), true; }
        bool visit_plain(const std::uint32_t* values, std::size_t count, std::uint64_t line) {
            for (std::size_t k = 0; k < count; ++k) seen.emplace_back(static_cast<std::int32_t>(values[k]), line + k);
            return batched += count, ++batches, true;
        }
        std::uint32_t plain_limit() const { return 10'000'000; }
    };
    std::string bytes;
    for (int odd = 0; odd < 256; ++odd)
        for (const std::string padding : {"", " ", "\t", "\v\f\r", "      ", "+", " +", "0", " +00"})
            for (std::size_t digits = 1; digits <= 7 - (padding.find('0') != std::string::npos); ++digits)
                if ((odd < '0' || odd > '9') && odd != '\n')
                    bytes += padding + "9876543"s.substr(7 - digits) + char(odd) + '\n';
    const auto from_word = [](std::string_view line) { return line.find_first_not_of("0123456789") - 1 < 7; };
    // Each number of lines in the last group.
    for (int cut = 0; cut < 8; ++cut, bytes.resize(bytes.rfind('\n', bytes.size() - 2) + 1)) {
        const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
        const int input = memory_file(bytes);
        for (const scan_path path : {scan_path::portable, scan_path::avx2, scan_path::avx512}) {
            if (path > fastest_scan_path()) break;
            std::size_t alone = 0, line = 0;
            for (std::size_t at = 0; at < bytes.size(); at = bytes.find('\n', at) + 1, ++line)
                alone += (path == scan_path::portable || line >= lines - lines % 8) &&
                         !from_word(std::string_view(bytes).substr(at));
            batching visit;
            scan_pass(input, visit, {.path = path});
            const std::string row = path_name(path) + ", lines " + std::to_string(lines);
            EXPECT_EQ(visit.seen, model_visits(bytes)) << row;
            EXPECT_EQ(visit.batched, lines - alone) << row;
            // Many at a time: a batch per slice at most, but for full ones and those that a line alone ends.
            EXPECT_LE(visit.batches, bytes.size() / slice_bytes + 2 + alone +
                                         (path == scan_path::portable ? lines / chunk_lines : lines / batch_size))
                << row;
        }
        ::close(input);
    }
}

// The newline mask in plain C++, which only processors without SSE2 run: every
// byte at every place of a chunk.
TEST(scan_path, the_word_newline_mask_finds_every_newline_and_nothing_else) {
    char chunk[chunk_bytes];
    std::fill(std::begin(chunk), std::end(chunk), 'x');
    for (int byte = 0; byte < 256; ++byte)
        for (std::size_t at = 0; at < chunk_bytes; chunk[at++] = 'x') {
            chunk[at] = static_cast<char>(byte);
            ASSERT_EQ(word_newline_mask(chunk), byte == '\n' ? std::uint64_t{1} << at : 0) << byte << " at " << at;
        }
}

// The fingerprint's arithmetic at the edges of its 32-bit halves and of the
// prime, against plain doubling; and a key of its own for each run.
TEST(fingerprint, multiplies_modulo_the_prime_and_draws_a_new_key_each_run) {
    const std::uint64_t edges[] = {0, 1, 3, (1 << 29) - 1, 1 << 29, 0xffffffff, 0x100000000, 0x123456789abcdef,
                                   model_prime - 2, model_prime - 1, model_prime, model_prime + 1, 2 * model_prime,
                                   UINT64_MAX};
    for (const std::uint64_t a : edges) {
        EXPECT_EQ(reduce_mod_prime(a), a % model_prime) << a;
        for (const std::uint64_t b : edges)
            EXPECT_TRUE(a >= model_prime || b >= model_prime || multiply_mod_prime(a, b) == model_times(a, b))
                << a << " × " << b;
    }
    // Weights below 2^32, none 0 (whose line would not count) and no two alike, and others for another seed.
    fingerprint_weights weights, others;
    fill_weights(weights, {});
    fill_weights(others, {.seed = fingerprint_key{}.seed + 1});
    std::vector<std::uint64_t> sorted(std::begin(weights.weight), std::end(weights.weight));
    std::sort(sorted.begin(), sorted.end());
    EXPECT_TRUE(sorted.front() > 0 && sorted.back() <= UINT32_MAX);
    EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    EXPECT_NE(weights.weight[0], others.weight[0]);
    // The high halves of splitmix64's first outputs from 0: a slip in its mix shows nowhere else.
    fill_weights(others, {.seed = 0});
    EXPECT_TRUE(others.weight[0] == 0xe220a839 && others.weight[1] == 0x6e789e6a && others.weight[2] == 0x6c45d18);
    const fingerprint_key one = random_fingerprint_key(), another = random_fingerprint_key();
    EXPECT_TRUE(one.seed != another.seed && one.point != another.point);
    EXPECT_TRUE(one.point > 0 && one.point < model_prime && another.point > 0 && another.point < model_prime);
}

// Any difference between the two readings is a change: every byte of the
// file's status before and after that lies in a field that a write or a
// change of the inode moves (not its device and inode, which one open
// descriptor keeps), and each fact of the readings; but not the size of a
// file that the system cannot know (/sys says a page).
TEST(readings_agree, only_when_nothing_tells_the_readings_apart) {
    struct stat same {};
    same.st_mode = S_IFREG;
    same.st_size = 10;
    const std::pair<std::size_t, std::size_t> moved[] = {{offsetof(struct stat, st_size), sizeof same.st_size},
                                                         {offsetof(struct stat, st_mtim), sizeof same.st_mtim},
                                                         {offsetof(struct stat, st_ctim), sizeof same.st_ctim}};
    tally_table table = *make_tally_table(2);
    table.counters[2] = 1;
    const pass_end reading{.bytes = 10, .lines = 2};
    for (std::size_t at = 0; at < sizeof same; ++at) {
        const bool counts = std::any_of(std::begin(moved), std::end(moved), [at](auto f) { return at - f.first < f.second; });
        struct stat changed = same;
        reinterpret_cast<unsigned char*>(&changed)[at] ^= 1;
        EXPECT_EQ(readings_agree(changed, same, reading, reading, table, true), !counts) << "byte " << at << " before";
        EXPECT_EQ(readings_agree(same, changed, reading, reading, table, true), !counts) << "byte " << at << " after";
    }
    // Whether they agree; the two readings; the count of the largest value; whether the size is a length.
    const std::tuple<bool, pass_end, pass_end, std::uint32_t, bool> rows[] = {
        {false, {.bytes = 9}, {.bytes = 9}, 1, true},
        {false, reading, {.bytes = 11, .lines = 2}, 1, true},
        {false, reading, {.bytes = 10, .lines = 3}, 1, true},
        {false, reading, {.bytes = 10, .lines = 2, .fingerprint = 1}, 1, true},
        {false, reading, reading, 0, true},
        {true, {.bytes = 6}, {.bytes = 6}, 1, false},  // /sys
    };
    for (const auto& [agree, first, second, largest_count, size_is_length] : rows) {
        table.counters[2] = largest_count;
        EXPECT_EQ(readings_agree(same, same, first, second, table, size_is_length), agree) << first.bytes << largest_count;
    }
    // Nor is a file held to its size where that is not its length: not a regular file, or a size of 0.
    for (const auto& [mode, size] : {std::pair{S_IFBLK, 10}, {S_IFREG, 0}}) {
        struct stat other = same;
        other.st_mode = mode, other.st_size = size;
        EXPECT_TRUE(readings_agree(other, other, {.bytes = 6}, {.bytes = 6}, table, true)) << mode << ' ' << size;
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
        // The same many at a time after lines without a number, as far into the file as they are many.
        {[] { std::string b; for (int i = 0; i < 32; ++i) b += i < 16 ? "x\n" : "1\n"; return b; }(), UINT32_MAX - 15,
         0, 0, "1 4294967296\n2 0\n"},
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

// A counter that wraps when no memory is left for the high halves stops the
// count with its failure, and writes through no null: in a child process,
// whose address space is limited, once the table is made, to what it uses
// and a little more.
TEST(count_values, stops_when_a_wrap_finds_no_memory_for_the_high_halves) {
#if defined(__SANITIZE_ADDRESS__) || defined(MAVEK_TALLY_EMULATED)
    GTEST_SKIP() << "AddressSanitizer and qemu-user reserve more address space than any limit leaves";
#endif
    const auto run = [] {
        tally_table table = *make_tally_table(1 << 26);  // 256 MiB, and as much for the high halves
        table.counters[1] = UINT32_MAX;
        const int input = memory_file("1\n");
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlimit limit{.rlim_cur = static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE) + (64 << 20)),
                           .rlim_max = RLIM_INFINITY};
        const pass_end end = ::setrlimit(RLIMIT_AS, &limit) == 0 ? count_values(input, table, {}, UINT32_MAX)
                                                                  : pass_end{};
        std::_Exit(end.failure && end.failure->fault == tally_fault::out_of_memory ? 0 : 1);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace mavek
