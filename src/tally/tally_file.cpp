#include "tally/tally_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "tally/raw_io.h"

namespace mavek {
namespace {

// calloc checks that size * 4 bytes can exist, also where size_t is 32-bit.
std::uint32_t* make_counters(std::uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return static_cast<std::uint32_t*>(std::calloc(static_cast<std::size_t>(size), sizeof(std::uint32_t)));
}

// A counter wrapped to 0: one more in its high half.
bool carry(tally_table& table, std::uint32_t value) {
    if (!table.high) table.high.reset(make_counters(table.size));
    if (!table.high) return false;
    ++table.high[value];
    return true;
}

// Whether the size of the open input is the length of its text: not on the
// pseudo file systems (/proc, /sys, ...), which give 0 or a page for any file.
bool size_is_length(int input) {
    struct statfs system;
    if (::fstatfs(input, &system) != 0) return true;
    switch (system.f_type) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool readings_agree(const struct stat& before, const struct stat& after, const pass_end& first, const pass_end& second,
                    const tally_table& table, bool size_is_length) {
    // Of the same size, neither written nor touched in its inode.
    const bool same_file = before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
                           before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
                           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
    // All of a regular file, where its size is its length.
    const bool whole_file = !S_ISREG(after.st_mode) || after.st_size == 0 || !size_is_length ||
                            first.bytes == static_cast<std::uint64_t>(after.st_size);
    return same_file && whole_file && first.bytes == second.bytes && first.lines == second.lines &&
           first.fingerprint == second.fingerprint &&
           (table.size == 1 || count_of(table, static_cast<std::uint32_t>(table.size - 1)) != 0);
}

std::optional<tally_table> make_tally_table(std::int32_t largest_value) {
    const auto size = static_cast<std::uint64_t>(largest_value) + 1;
    tally_table table{.counters = decltype(tally_table::counters){make_counters(size)}, .high = {}, .size = size};
    if (!table.counters) return std::nullopt;
    return table;
}

namespace {

// The first pass's visitor: the largest value. A negative value stops the
// pass with its failure, as it can never be counted.
struct largest_value {
    std::int32_t value = 0;
    std::optional<tally_error> failure{};

    bool operator()(std::int32_t candidate, std::uint64_t line) {
        if (candidate < 0) [[unlikely]] {
            failure = tally_error{.fault = tally_fault::negative_value, .line = line, .value = candidate};
            return false;
        }
        value = std::max(value, candidate);
        return true;
    }
    // The largest of many plain numbers, which are never negative.
    void visit_largest(std::uint32_t most) { value = std::max(value, static_cast<std::int32_t>(most)); }
};

}  // namespace

// Both passes stop at a value without a counter, before the table is made
// in the first, so that the file is not read again for nothing.
pass_end find_largest_value(int input, std::int32_t& largest, const scan_options& options) {
    largest_value first;
    pass_end end = scan_pass(input, first, options);
    if (first.failure) end.failure = first.failure;
    largest = first.value;
    return end;
}

namespace {

// The second pass's visitor: one more in each value's counter. A value that
// has no counter stops the pass with its failure.
struct value_counter {
    tally_table& table;
    // Before this line no counter can wrap: each takes one count a line at
    // most, on top of what the fullest held before.
    std::uint64_t safe_lines;
    std::optional<tally_error> failure{};

    bool operator()(std::int32_t value, std::uint64_t line) {
        // One unsigned compare catches a negative value and one above the
        // largest alike; here, either means the file changed since the first pass.
        const auto index = static_cast<std::uint32_t>(value);
        if (index >= table.size) [[unlikely]] {
            failure = tally_error{.fault = value < 0 ? tally_fault::negative_value : tally_fault::value_above_largest,
                                  .line = line,
                                  .value = value,
                                  .largest_value = static_cast<std::int32_t>(table.size - 1)};
            return false;
        }
        if (++table.counters[index] == 0 && !carry(table, index)) [[unlikely]] {
            failure = tally_error{.fault = tally_fault::out_of_memory};
            return false;
        }
        return true;
    }

    // Many at once, all below the limit, with no check for a wrap. Past the
    // safe lines they come one by one instead, which carries a wrap.
    std::uint32_t plain_limit() const { return static_cast<std::uint32_t>(table.size); }
    bool visit_plain(const std::uint32_t* values, std::size_t count, std::uint64_t line) {
        if (line + count > safe_lines) [[unlikely]] return false;
        // Eight increments a loop, as a group of eight comes at once: the
        // loop's own branch then costs one in eight.
#pragma GCC unroll 8
        for (std::size_t k = 0; k < count; ++k) ++table.counters[values[k]];
        return true;
    }
};

}  // namespace

pass_end count_values(int input, tally_table& table, const scan_options& options, std::uint32_t fullest) {
    value_counter count{.table = table, .safe_lines = std::uint64_t{UINT32_MAX} + 1 - fullest};
    pass_end end = scan_pass(input, count, options);
    if (count.failure) end.failure = count.failure;
    return end;
}

std::optional<tally_error> tally_file(int input, int output, status_line* status) {
    struct stat before, after;
    if (::fstat(input, &before) != 0) return tally_error{.fault = tally_fault::read_failed, .system_error = errno};
    const bool sized = size_is_length(input);
    const std::uint64_t size = S_ISREG(before.st_mode) && sized ? static_cast<std::uint64_t>(before.st_size) : 0;
    if (status) status_stage(*status, run_stage::first_reading, size);
    std::int32_t largest = 0;
    const fingerprint_key key = random_fingerprint_key();
    const pass_end first = find_largest_value(input, largest, {.status = status, .key = key});
    if (first.failure) return first.failure;
    std::optional<tally_table> table = make_tally_table(largest);
    if (!table) return tally_error{.fault = tally_fault::table_too_large, .largest_value = largest};
    if (status) status_stage(*status, run_stage::second_reading, size);
    const pass_end second = count_values(input, *table, {.status = status, .key = key});
    if (second.failure) return second.failure;
    if (::fstat(input, &after) != 0) return tally_error{.fault = tally_fault::read_failed, .system_error = errno};
    if (!readings_agree(before, after, first, second, *table, sized)) return tally_error{.fault = tally_fault::input_changed};
    if (status) status_stage(*status, run_stage::report, static_cast<std::uint64_t>(largest));
    return print_report(output, *table, largest, status);
}

std::optional<tally_error> print_report(int output, const tally_table& table, std::int32_t largest_value,
                                        status_line* status) {
    // Room for any value and any 64-bit count (20 digits each), the space and
    // the newline. The value is 64-bit so that the loop ends after the largest
    // int32 without overflowing.
    constexpr std::size_t digits = 20;
    char line[2 * digits + 2];
    for (std::int64_t value = 1; value <= largest_value; ++value) {
        char* end = std::to_chars(line, line + digits, value).ptr;
        *end++ = ' ';
        end = std::to_chars(end, end + digits, count_of(table, static_cast<std::uint32_t>(value))).ptr;
        *end++ = '\n';
        if (const int error = write_all(output, {line, static_cast<std::size_t>(end - line)}))
            return tally_error{.fault = tally_fault::write_failed, .system_error = error};
        // The clock is read every 1024 lines only: a line costs less than a microsecond.
        if (status && value % 1024 == 0) status_progress(*status, static_cast<std::uint64_t>(value));
    }
    return std::nullopt;
}

}  // namespace mavek
