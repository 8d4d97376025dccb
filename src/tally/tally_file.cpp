#include "tally/tally_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <memory>

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "tally/raw_io.h"
#include "tally/scan_pass.h"

namespace mavek {
namespace {

constexpr std::uint64_t page_counters = 1024;                    // 4 KiB of them
constexpr std::uint64_t most_counters = std::uint64_t{1} << 31;  // one for each value from 0 to INT32_MAX

// Maps at least `count` counters, keeping those there: twice what is mapped,
// so that a table that grows a page at a time is moved seldom; or, where that
// does not fit (ulimit -v), exactly what is needed, so that every table that
// fits at all does. mremap moves pages, never copies them.
bool reserve(counter_span& span, std::uint64_t count) {
    const std::uint64_t need = count * sizeof(std::uint32_t);
    if (need <= span.bytes) return true;
    const std::uint64_t doubled = std::min(std::max(need, std::uint64_t{span.bytes} * 2), most_counters * 4);
    for (const std::uint64_t bytes : {doubled, need}) {
        if (bytes > SIZE_MAX) continue;
        const auto size = static_cast<std::size_t>(bytes);
        void* const at = span.at == nullptr
                             ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                             : ::mremap(span.at, span.bytes, size, MREMAP_MAYMOVE);
        if (at != MAP_FAILED) {
            span = {.at = static_cast<std::uint32_t*>(at), .bytes = size};
            return true;
        }
    }
    return false;
}

}  // namespace

bool grow_table(tally_table& table, std::uint32_t value) {
    const std::uint64_t size = (std::uint64_t{value} / page_counters + 1) * page_counters;
    if (!reserve(table.counters, size)) return false;
    table.size = std::max(table.size, size);
    return true;
}

bool grow_high(tally_table& table) {
    return reserve(table.high, table.size);
}

std::int32_t largest_counted(const tally_table& table) {
    // The largest value counted is in the last page: the table grows to it.
    const std::uint64_t last_page = table.size > page_counters ? table.size - page_counters : 1;
    for (std::uint64_t value = table.size; value-- > last_page;)
        if (count_of(table, static_cast<std::uint32_t>(value)) != 0) return static_cast<std::int32_t>(value);
    return 0;
}

namespace {

// A counter wrapped to 0: one more in its high half.
bool carry(tally_table& table, std::uint32_t value) {
    if (!grow_high(table)) return false;
    ++table.high.at[value];
    return true;
}

// Whether the size and times of the open input tell of its text: not on the
// pseudo file systems (/proc, /sys, ...), which give 0 or a page for the size
// of any file, nor on the message queues', whose times move at each read.
bool metadata_tells(int input) {
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
        case 0x19800202:  // the message queues' (mqueue), which linux/magic.h does not name
            return false;
        default:
            return true;
    }
}

// The first reading's visitor: one more in each value's counter, the table
// grown for a value above all before. A value that cannot be counted stops
// the reading with its failure.
struct value_counter {
    tally_table& table;
    // Before this line no counter can wrap: each takes one count a line at
    // most, on top of what the fullest held before.
    std::uint64_t safe_lines;
    std::optional<tally_error> failure{};

    scan_step stop_with(tally_error error) {
        failure = error;
        return scan_step::stop;
    }

    scan_step operator()(std::int32_t value, std::uint64_t line) {
        // One unsigned compare catches a negative value and one with no counter yet.
        const auto index = static_cast<std::uint32_t>(value);
        if (index >= table.size) [[unlikely]] {
            if (value < 0) return stop_with({.fault = tally_fault::negative_value, .line = line, .value = value});
            if (!grow_table(table, index))
                return stop_with({.fault = tally_fault::table_too_large, .line = line, .value = value});
        }
        if (++table.counters.at[index] == 0 && !carry(table, index)) [[unlikely]]
            return stop_with({.fault = tally_fault::out_of_memory});
        return scan_step::go_on;
    }

    // Many at once, all below the limit, with no check for a wrap; past the
    // safe lines one by one instead, which carries a wrap.
    std::uint32_t plain_limit() const { return static_cast<std::uint32_t>(table.size); }
    scan_step visit_plain(const std::uint32_t* values, std::size_t count, std::uint64_t line) {
        if (line + count > safe_lines) [[unlikely]] {
            for (std::size_t k = 0; k < count; ++k)
                if ((*this)(static_cast<std::int32_t>(values[k]), line + k) == scan_step::stop) return scan_step::stop;
            return scan_step::go_on;
        }
        std::uint32_t* const counters = table.counters.at;
        // Eight increments a loop, as a group of eight comes at once: the
        // loop's own branch then costs one in eight.
#pragma GCC unroll 8
        for (std::size_t k = 0; k < count; ++k) ++counters[values[k]];
        return scan_step::go_on;
    }
};
static_assert(line_visitor<value_counter>);

// The hash's key, 64 KiB, in pages of its own: not on the stack, which may
// be small (ulimit -s), nor from the heap, which would take its reserve too.
struct key_pages {
    hash_key* key;
    ~key_pages() {
        if (key != MAP_FAILED) ::munmap(key, sizeof *key);
    }
};

void tell(const run_progress* progress, run_stage stage, std::uint64_t done, std::uint64_t total) {
    if (progress) progress->tell(progress->context, stage, done, total);
}

}  // namespace

tally_table::~tally_table() {
    for (const counter_span& span : {counters, high})
        if (span.at) ::munmap(span.at, span.bytes);
}

pass_end count_values(int input, tally_table& table, const scan_options& options, std::uint32_t fullest) {
    value_counter count{.table = table, .safe_lines = std::uint64_t{UINT32_MAX} + 1 - fullest};
    pass_end end = scan_pass(input, count, options);
    if (count.failure) end.failure = count.failure;
    return end;
}

bool readings_agree(const struct stat& before, const struct stat& after, const pass_end& first, const pass_end& second,
                    bool metadata_tells) {
    // Of the same size, neither written nor touched in its inode.
    const bool same_file =
        !metadata_tells ||
        (before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
         before.st_ctim.tv_nsec == after.st_ctim.tv_nsec);
    // All of a regular file, where its size is its length.
    const bool whole_file = !metadata_tells || !S_ISREG(after.st_mode) || after.st_size == 0 ||
                            first.bytes == static_cast<std::uint64_t>(after.st_size);
    return same_file && whole_file && first.bytes == second.bytes && first.hash == second.hash;
}

std::optional<tally_error> tally_file(int input, int output, const run_progress* progress) {
    struct stat before, after;
    if (::fstat(input, &before) != 0) return tally_error{.fault = tally_fault::read_failed, .system_error = errno};
    const bool sized = metadata_tells(input);
    const std::uint64_t size = S_ISREG(before.st_mode) && sized ? static_cast<std::uint64_t>(before.st_size) : 0;
    const key_pages pages{static_cast<hash_key*>(
        ::mmap(nullptr, sizeof(hash_key), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))};
    if (pages.key == MAP_FAILED) return tally_error{.fault = tally_fault::out_of_memory};
    hash_key& key = *pages.key;
    draw_hash_key(key);
    scan_options options{.key = &key, .progress = progress, .stage = run_stage::first_reading, .total = size};
    tell(progress, options.stage, 0, size);
    tally_table table;
    const pass_end first = count_values(input, table, options, 0);
    if (first.failure) return first.failure;
    options.stage = run_stage::second_reading;
    tell(progress, options.stage, 0, size);
    bytes_only bytes;
    const pass_end second = scan_pass(input, bytes, options);
    if (second.failure) return second.failure;
    if (::fstat(input, &after) != 0) return tally_error{.fault = tally_fault::read_failed, .system_error = errno};
    if (!readings_agree(before, after, first, second, sized)) return tally_error{.fault = tally_fault::input_changed};
    const std::int32_t largest = largest_counted(table);
    tell(progress, run_stage::report, 0, static_cast<std::uint64_t>(largest));
    return print_report(output, table, largest, progress);
}

std::optional<tally_error> print_report(int output, const tally_table& table, std::int32_t largest_value,
                                        const run_progress* progress) {
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
        // Told every 1024 lines only: a line costs less than a microsecond.
        if (value % 1024 == 0)
            tell(progress, run_stage::report, static_cast<std::uint64_t>(value),
                 static_cast<std::uint64_t>(largest_value));
    }
    return std::nullopt;
}

}  // namespace mavek
