#include "tally/tally_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tally/tally_error.h"
#include "test_files.h"

namespace mavek {
namespace {

struct report_case {
    std::string name;
    std::string bytes;
    std::string report;
};

TEST(tally_file, reports_every_value_from_one_to_the_largest) {
    const report_case cases[] = {
        {"each line counted once", "3\n5\n5\n", "1 0\n2 0\n3 1\n4 0\n5 2\n"},
        {"single line", "1\n", "1 1\n"},
        {"single line without newline", "2", "1 0\n2 1\n"},
        {"empty line between", "5\n\n2\n", "1 0\n2 1\n3 0\n4 0\n5 1\n"},
        {"empty lines first", "\n1\n2\n", "1 1\n2 1\n"},
        {"two newlines at the end", "3\n5\n5\n\n", "1 0\n2 0\n3 1\n4 0\n5 2\n"},
        {"CR-only file is one line", "2\r1\r1\r", "1 0\n2 1\n"},
        {"empty file", "", ""},
        {"zeros and words only", "0\nabc\n\n-0 x\n", ""},
        {"mixed", "2 b\n1 a\n  2 c\n0\nz\n2\r\n", "1 1\n2 3\n"},
    };
    const test::temp_dir dir;
    for (const auto& [name, bytes, report] : cases) {
        const int input = ::open(dir.file("input", bytes).c_str(), O_RDONLY);
        const int output = ::open((dir.path / "report").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(input, 0);
        ASSERT_GE(output, 0);
        tally_file(input, output);
        ::close(input);
        ::close(output);
        EXPECT_EQ(test::read_file(dir.path / "report"), report) << name;
    }
}

struct failure_case {
    std::string name;
    std::string bytes;
    std::int32_t table_largest;  // < 0: tally the whole file; else count into a table this large
    tally_error expected;
};

TEST(tally_file, stops_at_a_value_without_a_counter) {
    const failure_case cases[] = {
        {"negative value", "1\n\n-3\n7\n", -1, {.fault = tally_fault::negative_value, .line = 3, .value = -3}},
        {"most negative value",
         "-99999999999\n",
         -1,
         {.fault = tally_fault::negative_value, .line = 1, .value = INT32_MIN}},
        // The file grew between the passes: the second pass meets a value
        // above the largest that the first pass found.
        {"value above the largest",
         "2\n4\n9\n",
         4,
         {.fault = tally_fault::value_above_largest, .line = 3, .value = 9, .largest_value = 4}},
        {"negative value in the second pass",
         "2\n-1\n",
         4,
         {.fault = tally_fault::negative_value, .line = 2, .value = -1, .largest_value = 4}},
    };
    const test::temp_dir dir;
    for (const auto& [name, bytes, table_largest, expected] : cases) {
        const int input = ::open(dir.file("input", bytes).c_str(), O_RDONLY);
        ASSERT_GE(input, 0);
        try {
            if (table_largest < 0) {
                tally_file(input, -1);
            } else {
                tally_table table = make_tally_table(table_largest);
                count_values(input, table);
            }
            ADD_FAILURE() << name << ": no failure";
        } catch (const tally_error& error) {
            EXPECT_EQ(error.fault, expected.fault) << name;
            EXPECT_EQ(error.line, expected.line) << name;
            EXPECT_EQ(error.value, expected.value) << name;
            EXPECT_EQ(error.largest_value, expected.largest_value) << name;
        }
        ::close(input);
    }
}

TEST(print_report, writes_counts_beyond_32_bits) {
    const test::temp_dir dir;
    const int output = ::open((dir.path / "report").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(output, 0);
    tally_table table = make_tally_table(2);
    table.counters[1] = std::uint64_t{1} << 32;
    table.counters[2] = UINT64_MAX;
    print_report(output, table, 2);
    ::close(output);
    EXPECT_EQ(test::read_file(dir.path / "report"), "1 4294967296\n2 18446744073709551615\n");
}

}  // namespace
}  // namespace mavek
