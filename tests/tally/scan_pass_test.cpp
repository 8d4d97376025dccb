#include "tally/scan_pass.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_files.h"

namespace mavek {
namespace {

using namespace std::string_literals;

struct token_case {
    std::string token;
    std::int32_t value;
};

TEST(token_value, reads_a_leading_decimal_number_as_strtol_does) {
    const token_case cases[] = {
        {"7", 7},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"+7", 7},
        {"-3", -3},
        {"-0", 0},
        {"007", 7},
        {"0000000000000000000000000012", 12},
        {"3.9", 3},
        {"1e5", 1},
        {"0x1F", 0},
        {"-", 0},
        {"+", 0},
        {"+-5", 0},
        {"--5", 0},
        {"5+3", 5},
        {"1\0"
         "2"s,
         1},
        {"\xff"
         "9",
         0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"4294967297", INT32_MAX},  // would wrap to 1 in 32 bits
        {"99999999999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999999", INT32_MIN},
    };
    for (const auto& [token, value] : cases) EXPECT_EQ(token_value(token), value) << '"' << token << '"';
}

struct visit {
    std::int32_t value;
    std::uint64_t line;
    bool operator==(const visit&) const = default;
};

std::ostream& operator<<(std::ostream& out, const visit& v) {
    return out << v.value << '@' << v.line;
}

struct scan_case {
    std::string name;
    std::string bytes;
    std::vector<visit> visits;
};

// Every case runs at several block sizes, down to one byte, so that each token
// and each line end also falls across a block boundary.
TEST(scan_pass, visits_each_line_with_a_token_once_at_every_block_size) {
    const scan_case cases[] = {
        {"empty file", "", {}},
        {"one line", "5\n", {{5, 1}}},
        {"last line without newline", "3\n5", {{3, 1}, {5, 2}}},
        {"repeated values", "3\n5\n5\n", {{3, 1}, {5, 2}, {5, 3}}},
        {"empty line carries nothing", "5\n\n2\n", {{5, 1}, {2, 3}}},
        {"empty lines first", "\n1\n2\n", {{1, 2}, {2, 3}}},
        {"two newlines at the end", "1\n\n", {{1, 1}}},
        {"whitespace-only lines", " \t\n\v\f\r\n 9", {{9, 3}}},
        {"leading blanks and trailing text", "  \t4 apples\n12\tdozen eggs\n", {{4, 1}, {12, 2}}},
        {"CRLF ends", "7\r\n8\r\n", {{7, 1}, {8, 2}}},
        {"CR alone is no line end", "1\r2\r3\r", {{1, 1}}},
        {"second word ignored", "4 -3\n", {{4, 1}}},
        {"not numbers", "x\n-\n+8 9\n", {{0, 1}, {0, 2}, {8, 3}}},
        {"negative", "-3\n", {{-3, 1}}},
        {"NUL is a token byte",
         "\0\0\n\0"
         "5\n5"s,
         {{0, 1}, {0, 2}, {5, 3}}},
        {"long number", "000000000000000000042 x\n12345678901234567890\n", {{42, 1}, {INT32_MAX, 2}}},
    };
    const test::temp_dir dir;
    for (const auto& [name, bytes, visits] : cases) {
        const int input = ::open(dir.file("input", bytes).c_str(), O_RDONLY);
        ASSERT_GE(input, 0);
        for (const std::size_t block_size :
             {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, default_block_size}) {
            std::vector<visit> seen;
            scan_pass(
                input,
                [&](std::int32_t value, std::uint64_t line) {
                    seen.push_back({value, line});
                },
                block_size);
            EXPECT_EQ(seen, visits) << name << ", block size " << block_size;
        }
        ::close(input);
    }
}

}  // namespace
}  // namespace mavek
