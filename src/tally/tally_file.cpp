#include "tally/tally_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include <unistd.h>

#include "tally/scan_pass.h"
#include "tally/tally_error.h"

namespace mavek {

tally_table make_tally_table(std::int32_t largest_value) {
    const auto size = static_cast<std::uint64_t>(largest_value) + 1;
    auto* counters = static_cast<std::uint64_t*>(std::calloc(size, sizeof(std::uint64_t)));
    if (counters == nullptr) throw tally_error{.fault = tally_fault::table_too_large, .largest_value = largest_value};
    return {decltype(tally_table::counters){counters}, size};
}

std::int32_t find_largest_value(int input) {
    // A negative value can never be counted, so this pass already stops at it,
    // before the table is made and the file is read again.
    largest_value largest;
    scan_pass(input, largest);
    return largest.value;
}

void count_values(int input, tally_table& table) {
    scan_pass(input, [&](std::int32_t value, std::uint64_t line) {
        // One unsigned compare catches a negative value and one above the
        // largest alike; here, either means the file changed since the first pass.
        if (static_cast<std::uint32_t>(value) >= table.size) {
            throw tally_error{.fault = value < 0 ? tally_fault::negative_value : tally_fault::value_above_largest,
                              .line = line,
                              .value = value,
                              .largest_value = static_cast<std::int32_t>(table.size - 1)};
        }
        ++table.counters[static_cast<std::uint32_t>(value)];
    });
}

void tally_file(int input, int output) {
    const std::int32_t largest_value = find_largest_value(input);
    tally_table table = make_tally_table(largest_value);
    count_values(input, table);
    print_report(output, table, largest_value);
}

void print_report(int output, const tally_table& table, std::int32_t largest_value) {
    // Room for any value and any 64-bit count (20 digits each), the space and
    // the newline. The value is 64-bit so that the loop ends after the largest
    // int32 without overflowing.
    constexpr std::size_t digits = 20;
    char line[2 * digits + 2];
    for (std::int64_t value = 1; value <= largest_value; ++value) {
        char* end = std::to_chars(line, line + digits, value).ptr;
        *end++ = ' ';
        end = std::to_chars(end, end + digits, table.counters[value]).ptr;
        *end++ = '\n';
        write_all(output, {line, static_cast<std::size_t>(end - line)});
    }
}

void write_all(int output, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(output, bytes.data(), bytes.size());
        if (put >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(put));
        } else if (errno != EINTR) {
            throw tally_error{.fault = tally_fault::write_failed, .system_error = errno};
        }
    }
}

}  // namespace mavek
