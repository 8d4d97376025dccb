#include "tally/scan_model.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
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

std::string repeat(std::string_view text, int times) {
    std::string bytes;
    while (times-- > 0) bytes += text;
    return bytes;
}

// Half the L2 that the key (64 KiB and a little) leaves, in whole 64 KiB units, 256 to 960 KiB.
TEST(block_size_for, fills_half_of_the_cache_the_key_leaves) {
    const std::pair<long, std::size_t> cases[] = {{-1, 960},        {0, 960},          {256 << 10, 256},
                                                  {640 << 10, 256}, {704 << 10, 256},  {(704 << 10) + 128, 320},
                                                  {1 << 20, 448},   {1280 << 10, 576}, {(2 << 20) - 1, 960},
                                                  {2 << 20, 960},   {32 << 20, 960}};
    for (const auto& [l2, kib] : cases) EXPECT_EQ(block_size_for(l2), kib << 10) << l2;
}

TEST(token_value, reads_a_leading_decimal_number_as_strtol_does) {
    const std::pair<std::string, std::int32_t> digits[] = {{"12abc", 12}, {"abc", 0},    {"", 0},    {"+7", 7},
                                                           {"-3", -3},    {"007", 7},    {"3.9", 3}, {"0x1F", 0},
                                                           {"+-5", 0},    {"1\0002"s, 1}};
    for (const auto& [token, value] : digits) EXPECT_EQ(token_value(token), value) << '"' << token << '"';
}

// Past the signed 32-bit range, the nearest limit, however far past.
TEST(token_value, holds_numbers_beyond_the_range_at_its_limits) {
    const std::pair<std::string, std::int32_t> limits[] = {
        {"2147483647", INT32_MAX},          {"2147483648", INT32_MAX},  {"4294967297", INT32_MAX},
        {"-2147483648", INT32_MIN},         {"-2147483649", INT32_MIN}, {"99999999999999999999999", INT32_MAX},
        {"18446744073709551617", INT32_MAX}};
    for (const auto& [token, value] : limits) EXPECT_EQ(token_value(token), value) << '"' << token << '"';
}

// Every byte at every place where the scan reads a line in its own way:
// after 1 to 10 digits, before them, after a sign, after leading zeros and
// spaces, at the end of a line or before more digits; each such line in every
// lane of a group of eight plain lines, and with its odd byte as the last and
// as the first byte of a 64-byte chunk and of a 2048-byte slice (a read block
// of 4096 bytes ends on every other one). Lines come eight at a time, so that
// lanes stay where they are put.
std::string lines_around(char odd) {
    static const char* const stems[] = {
        "",           "7",  "42",      "913",      "5082", "61734", "270458", "3819276", "40712953", "123456789",
        "2147483648", "-",  "+",       "-0",       "+0",   "0",     "0000",   "0000000", "00000000", "+000000",
        " ",          "\t", "       ", "        ", " +",   " 00",   "\v+00",  "  -12"};
    std::string bytes;
    for (const std::string stem : stems) {
        for (const std::string tail : {"", "35"}) {
            std::string line = stem;
            line.append(1, odd).append(tail).append(1, '\n');
            for (int lane = 0; lane < 8; ++lane)
                for (int k = 0; k < 8; ++k) bytes += k == lane ? line : std::to_string(k * 37 + lane + 1) + "\n";
            for (const std::size_t edge : {64, 2048}) {
                for (const std::size_t before : {1, 0}) {
                    const std::size_t at =
                        bytes.size() + 2 + stem.size();  // of the odd byte, after the shortest filler
                    bytes.append("9").append((2 * edge - before - at % edge) % edge, 'a').append("\n").append(line);
                }
            }
        }
    }
    return bytes;
}

// The tests of a scan path, which a processor without it skips, saying so.
class on_path : public ::testing::TestWithParam<scan_path> {
protected:
    void SetUp() override {
        if (GetParam() > fastest_scan_path()) GTEST_SKIP() << "this processor cannot run this path";
    }
};
std::string path_name(const ::testing::TestParamInfo<scan_path>& path) {
    const char* const names[] = {"portable", "avx2", "avx512"};
    return names[static_cast<int>(path.param)];
}
INSTANTIATE_TEST_SUITE_P(scan, on_path, ::testing::Values(scan_path::portable, scan_path::avx2, scan_path::avx512),
                         path_name);

// Each file is read in one block or at the real block size, and in blocks of 4096 bytes; a small one also at block
// sizes down to one byte, so that every token and line end falls across a block's edge.
TEST_P(on_path, reads_every_byte_at_every_place_as_the_model_does) {
    std::vector<std::string> files = {"",
                                      "5\n",
                                      "3\n5\n5\n",
                                      "5\n\n2\n",
                                      "\n1\n2",
                                      " \t\n\v\f\r\n 9",
                                      "7\r\n8\r\n",
                                      "1\r2\r3\r",
                                      "  \t4 apples\n12\tdozen -3\n",
                                      "\0\0\n\0005\n5"s};
    // A slice of line ends only, as many as it can hold; 33 line ends in a chunk, one past a half.
    files.push_back(std::string(5000, '\n') + "4\n");
    files.push_back(repeat("1\n", 31) + "\n\n2\n");
    // A line that waits across the edge of a 4096-byte block, after a group.
    files.push_back(repeat("1\n", 1022) + "1" + std::string(2048, 'x') + "\n12\n3\n");
    // A line that waits past the end of a slice while a 40 KB line passes, between groups of lines; read
    // from anywhere but its start, the long line gives another value.
    files.push_back("1\n2\n3\n4\n5\n6\n7\n8\n9\n6" + std::string(40000, 'x') + "\n5\n1\n2\n3\n4\n5\n6\n7\n8\n");
    // Several whole blocks of the size a run reads in, the last one short.
    for (char byte = 'a'; byte <= 'z'; ++byte)
        (byte == 'a' ? files.emplace_back() : files.back()) += lines_around(byte);
    // Short tokens of every kind, shifted one byte at a time across the edges of chunks.
    for (std::size_t shift = 0; shift < 2 * chunk_bytes + 2; ++shift)
        files.push_back(std::string(shift, ' ') + "1-2\n-34\n+5x\n77 8\n 6\n-\n+\n2\xb5\n");
    for (int byte = 0; byte < 256; ++byte) files.push_back(lines_around(static_cast<char>(byte)));
    // A value past the table's last page in each lane of a group of plain lines: the table grows for it
    // before it is counted, where a group of values below the limit goes on at once.
    for (std::size_t at = 0; at < 48; ++at) {
        std::string& lines = files.emplace_back();
        for (std::size_t line = 0; line < 64; ++line) lines += std::to_string(line == at ? 1024 : line % 10) + "\n";
    }
    for (std::size_t row = 0; row < files.size(); ++row) {
        const std::string& bytes = files[row];
        const int input = memory_file(bytes);
        // One block for all of a file, but no larger: each pass makes its block anew.
        std::vector<std::size_t> block_sizes = {4096,
                                                std::min(default_block_size(), bytes.size() / 4096 * 4096 + 8192)};
        if (bytes.size() < 300) block_sizes.insert(block_sizes.end(), {1, 2, 3, 7, 61});
        for (const std::size_t block_size : block_sizes) {
            SCOPED_TRACE("file " + std::to_string(row) + " of " + std::to_string(bytes.size()) + " bytes, block size " +
                         std::to_string(block_size));
            // One broken file is enough to read.
            ASSERT_EQ(pass_difference(input, bytes, {.block_size = block_size, .path = GetParam()}), "");
        }
        ::close(input);
    }
}

// Bytes that the hash takes in its own way: the steps of 64 bytes, the
// units of 64 KiB, a last step cut short; read in blocks of every size that
// cuts them differently. Each path gives the model's hash, and another for
// a byte changed anywhere near an edge of a step or a unit.
TEST_P(on_path, hashes_the_bytes_as_the_model_does_and_tells_every_changed_byte) {
    std::string bytes(2 * 65536 + 100, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761U >> 13);
    const auto hash_of = [&](int input, std::size_t block_size) {
        bytes_only alone;
        return scan_pass(input, alone, {.block_size = block_size, .path = GetParam(), .key = &test_key()});
    };
    const std::size_t lengths[] = {1, 63, 64, 65, 65536, 65537, bytes.size()};
    const std::size_t block_sizes[] = {1, 7, 64, 65, 4096, 65537, 65600, default_block_size()};
    for (const std::size_t length : lengths) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        const std::string start = bytes.substr(0, length);
        const int input = memory_file(start);
        for (const std::size_t block_size : block_sizes) {
            const pass_end end = hash_of(input, block_size);
            EXPECT_TRUE(!end.failure && end.bytes == length && end.hash == model_hash(start, test_key())) << block_size;
        }
        ::close(input);
    }
    const int input = memory_file(bytes);
    const std::uint64_t original = hash_of(input, default_block_size()).hash;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        if (at >= 256 && at % 65536 >= 128 && at % 65536 <= 65536 - 128 && at + 200 <= bytes.size()) continue;
        const char changed = static_cast<char>(bytes[at] ^ (1 << at % 8));
        ASSERT_EQ(::pwrite(input, &changed, 1, static_cast<off_t>(at)), 1);
        ASSERT_NE(hash_of(input, default_block_size()).hash, original) << "byte " << at;
        ASSERT_EQ(::pwrite(input, &bytes[at], 1, static_cast<off_t>(at)), 1);
    }
    ::close(input);
}

// The polynomial's arithmetic at the edges of its 32-bit halves and of the
// prime, against plain doubling; and a key of its own for each run.
TEST(read_hash, multiplies_modulo_the_prime_and_draws_a_new_key_each_run) {
    const std::uint64_t p = model_prime;
    const std::uint64_t edges[] = {0,     1,     3, (1 << 29) - 1, 1 << 29, 0xffffffff, 0x100000000, 0x123456789abcdef,
                                   p - 2, p - 1, p, p + 1,         2 * p,   UINT64_MAX};
    for (const std::uint64_t a : edges) {
        EXPECT_EQ(reduce_mod_prime(a), a % p) << a;
        for (const std::uint64_t b : edges)
            EXPECT_TRUE(a >= p || b >= p || multiply_mod_prime(a, b) == model_times(a, b)) << a << " × " << b;
    }
    const auto one = std::make_unique<hash_key>(), another = std::make_unique<hash_key>();
    draw_hash_key(*one);
    draw_hash_key(*another);
    EXPECT_TRUE(one->point != another->point && std::memcmp(one->nh, another->nh, sizeof one->nh) != 0);
    EXPECT_TRUE(one->point > 0 && one->point < model_prime && another->point > 0 && another->point < model_prime);
}

// The processor's features as the compiler asks for them, which no tunable
// switches off.
std::uint32_t processor_features() {
    std::uint32_t features = 0;
#if defined(__x86_64__)
    const std::pair<bool, cpu_feature> bits[] = {{__builtin_cpu_supports("avx2"), has_avx2},
                                                 {__builtin_cpu_supports("bmi"), has_bmi},
                                                 {__builtin_cpu_supports("popcnt"), has_popcnt},
                                                 {__builtin_cpu_supports("bmi2"), has_bmi2},
                                                 {__builtin_cpu_supports("avx512f"), has_avx512f},
                                                 {__builtin_cpu_supports("avx512bw"), has_avx512bw},
                                                 {__builtin_cpu_supports("avx512cd"), has_avx512cd},
                                                 {__builtin_cpu_supports("avx512dq"), has_avx512dq},
                                                 {__builtin_cpu_supports("avx512vbmi2"), has_avx512vbmi2}};
    for (const auto& [has, feature] : bits)
        if (has) features |= feature;
#endif
    return features;
}

// The processor's features decide its path: every feature that a path is
// compiled for, or a slower path; and of those, the ones that glibc's
// tunables leave on. Run under a cap (MAVEK_TEST_CAP names its path), the
// path is that one, or the test is skipped where the processor lacks it.
TEST(scan_path, follows_the_tunables) {
    const std::uint32_t avx2 = has_avx2 | has_bmi | has_popcnt;
    const std::uint32_t avx512 =
        avx2 | has_bmi2 | has_avx512f | has_avx512bw | has_avx512cd | has_avx512dq | has_avx512vbmi2;
    EXPECT_EQ(path_for(0), scan_path::portable);
    EXPECT_EQ(path_for(avx2), scan_path::avx2);
    EXPECT_EQ(path_for(avx512), scan_path::avx512);
    for (std::uint32_t feature = 1; feature <= has_avx512vbmi2; feature <<= 1) {
        EXPECT_EQ(path_for(avx512 & ~feature), (avx2 & feature) ? scan_path::portable : scan_path::avx2) << feature;
        EXPECT_EQ(path_for(avx2 & ~feature), (avx2 & feature) ? scan_path::portable : scan_path::avx2) << feature;
    }
    const scan_path own = path_for(processor_features());
    const std::string cap = std::getenv("MAVEK_TEST_CAP") ? std::getenv("MAVEK_TEST_CAP") : "";
    const scan_path capped = cap.empty() ? own : cap == "avx2" ? scan_path::avx2 : scan_path::portable;
    if (capped > own) GTEST_SKIP() << "this processor lacks the " << cap << " path";
    EXPECT_EQ(fastest_scan_path(), capped) << cap;
}

// Any difference between the two readings is a change: every byte of the
// file's status before and after that lies in a field that a write or a
// change of the inode moves (not its device and inode, which one open
// descriptor keeps), and each fact of the readings; but not the size or
// times of a file whose metadata tells nothing of its text (/sys says a
// page, a message queue's times move at each read).
TEST(readings_agree, only_when_nothing_tells_the_readings_apart) {
    struct stat same {};
    same.st_mode = S_IFREG;
    same.st_size = 10;
    const std::pair<std::size_t, std::size_t> moved[] = {{offsetof(struct stat, st_size), sizeof same.st_size},
                                                         {offsetof(struct stat, st_mtim), sizeof same.st_mtim},
                                                         {offsetof(struct stat, st_ctim), sizeof same.st_ctim}};
    const pass_end reading{.bytes = 10, .lines = 2, .hash = 7};
    for (std::size_t at = 0; at < sizeof same; ++at) {
        const bool counts =
            std::any_of(std::begin(moved), std::end(moved), [at](auto f) { return at - f.first < f.second; });
        struct stat changed = same;
        reinterpret_cast<unsigned char*>(&changed)[at] ^= 1;
        EXPECT_EQ(readings_agree(changed, same, reading, reading, true), !counts) << "byte " << at << " before";
        EXPECT_EQ(readings_agree(same, changed, reading, reading, true), !counts) << "byte " << at << " after";
        EXPECT_TRUE(readings_agree(same, changed, reading, reading, false)) << "byte " << at << ", no metadata";
    }
    // Whether they agree; the two readings; whether the metadata tells of the text.
    const std::tuple<bool, pass_end, pass_end, bool> rows[] = {
        {false, {.bytes = 9}, {.bytes = 9}, true},
        {false, reading, {.bytes = 11, .hash = 7}, true},
        {false, reading, {.bytes = 10, .hash = 8}, true},
        {true, reading, {.bytes = 10, .hash = 7}, true},  // the second reading counts no lines
        {true, {.bytes = 6}, {.bytes = 6}, false},        // /sys
        {false, reading, {.bytes = 10, .hash = 8}, false},
    };
    for (const auto& [agree, first, second, metadata_tells] : rows)
        EXPECT_EQ(readings_agree(same, same, first, second, metadata_tells), agree) << first.bytes << second.hash;
    // Nor is a file held to its size where that is not its length: not a regular file, or a size of 0.
    for (const auto& [mode, size] : {std::pair{S_IFBLK, 10}, {S_IFREG, 0}}) {
        struct stat other = same;
        other.st_mode = mode, other.st_size = size;
        EXPECT_TRUE(readings_agree(other, other, {.bytes = 6}, {.bytes = 6}, true)) << mode << ' ' << size;
    }
}

// The table grows to the page of each value above all before it, at every
// power of two and one below it, and keeps the counts it holds; the largest
// counted is found in its last page.
TEST(grow_table, makes_the_counter_of_each_larger_value_and_keeps_the_counts) {
    // A table of 4 GiB, or of 256 MiB where the address space is 32-bit.
    const std::uint32_t most = sizeof(void*) == 8 ? 1U << 30 : 1U << 26;
    tally_table table;
    EXPECT_EQ(largest_counted(table), 0);
    for (std::uint32_t value = 1; value <= most; value <<= 1) {
        for (const std::uint32_t at : {value - 1, value}) {
            ASSERT_TRUE(grow_table(table, at) && table.size == (std::uint64_t{at} / 1024 + 1) * 1024) << at;
            table.counters.at[at] = 1;
            EXPECT_EQ(largest_counted(table), static_cast<std::int32_t>(at));
        }
    }
    for (std::uint32_t value = 1; value <= most; value <<= 1)
        EXPECT_TRUE(count_of(table, value) == 1 && count_of(table, value - 1) == 1) << value;
    EXPECT_TRUE(grow_table(table, 5) && table.size == most + 1024);  // never smaller
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
        {repeat("1\n2\n", 8), UINT32_MAX - 2, 5, 0, "1 4294967301\n2 13\n"},
        {repeat("1\n", 16), UINT32_MAX - 15, 0, 0, "1 4294967296\n2 0\n"},
        // The same many at a time after lines without a number, as far into the file as they are many.
        {repeat("x\n", 16) + repeat("1\n", 16), UINT32_MAX - 15, 0, 0, "1 4294967296\n2 0\n"},
    };
    for (const auto& [bytes, start_1, start_2, high_1, report] : rows) {
        const int input = memory_file(bytes), output = memory_file("");
        tally_table table;
        ASSERT_TRUE(grow_table(table, 2));
        table.counters.at[1] = start_1;
        table.counters.at[2] = start_2;
        if (high_1 != 0) {
            ASSERT_TRUE(grow_high(table));
            table.high.at[1] = high_1;
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

// Limits the address space of this process, a child of EXPECT_EXIT, to what
// it uses and `more` bytes.
bool limit_address_space(long more) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit limit{.rlim_cur = static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE) + more),
                       .rlim_max = RLIM_INFINITY};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

// Under a limit on the address space, in a child process limited to what it
// uses and a little more: the table grows by exactly what is needed where
// twice does not fit; a counter that wraps, or a value that needs more than
// is left, stops the count with its failure and writes through no null.
TEST(count_values, grows_and_stops_in_order_under_an_address_space_limit) {
#if defined(__SANITIZE_ADDRESS__) || defined(MAVEK_TALLY_EMULATED)
    GTEST_SKIP() << "AddressSanitizer and qemu-user reserve more address space than any limit leaves";
#endif
    const auto grow = [] {
        tally_table table;  // 128 MiB, then 160 MiB where 256 do not fit, then no more
        const bool grown = grow_table(table, (1 << 25) - 1) && limit_address_space(64 << 20) &&
                           grow_table(table, (5 << 23) - 1) && table.counters.bytes == 5 << 25 &&
                           !grow_table(table, (1 << 26) - 1);
        table.counters.at[(5 << 23) - 1] = 1;
        std::_Exit(grown && table.size == 5 << 23 && largest_counted(table) == (5 << 23) - 1 ? 0 : 1);
    };
    EXPECT_EXIT(grow(), ::testing::ExitedWithCode(0), "");
    const std::pair<std::string, tally_error> rows[] = {
        {"1\n", {.fault = tally_fault::out_of_memory}},  // the high halves: 256 MiB
        {"3\n200000000\n-1\n", {.fault = tally_fault::table_too_large, .line = 2, .value = 200000000}},
    };
    for (const auto& [bytes, failure] : rows) {
        const auto count = [&] {
            tally_table table;
            (void)grow_table(table, (1 << 26) - 1);  // 256 MiB
            table.counters.at[1] = UINT32_MAX;
            const int input = memory_file(bytes);
            const pass_end end =
                limit_address_space(64 << 20) ? count_values(input, table, {}, UINT32_MAX) : pass_end{};
            const bool stopped = end.failure && end.failure->fault == failure.fault &&
                                 end.failure->line == failure.line && end.failure->value == failure.value;
            std::_Exit(stopped ? 0 : 1);
        };
        EXPECT_EXIT(count(), ::testing::ExitedWithCode(0), "") << bytes;
    }
}

}  // namespace
}  // namespace mavek
