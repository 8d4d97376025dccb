// A model of one pass, written to be obviously right rather than fast, and
// the comparison of the real passes with it, which the tests and the fuzz
// target share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tally/testing.h"

namespace mavek {

using visits = std::vector<std::pair<std::int32_t, std::uint64_t>>;  // value, line

// Split on newline; a line's token is its first run of non-whitespace; its
// value is what strtoll reads from it, held in the 32-bit range.
inline visits model_visits(std::string_view bytes) {
    visits expected;
    std::uint64_t line = 1;
    for (std::size_t start = 0; start < bytes.size(); ++line) {
        const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
        const std::string text(bytes.substr(start, end - start));
        const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
        if (first != std::string::npos) {
            const long long value = std::strtoll(text.c_str() + first, nullptr, 10);
            expected.emplace_back(std::clamp<long long>(value, INT32_MIN, INT32_MAX), line);
        }
        start = end + 1;
    }
    return expected;
}

// The hash of the bytes: zeros up to a multiple of 64 bytes; then for each
// 64 KiB, the sum of (m[2j] + k[2j]) × (m[2j+1] + k[2j+1]) over its 32-bit
// words, each sum modulo 2^32 and the whole modulo 2^64; then, after a 1,
// each sum's high and low half as the coefficients of a polynomial modulo
// 2^61 - 1 at the key's point.
constexpr std::uint64_t model_prime = (std::uint64_t{1} << 61) - 1;
inline std::uint64_t model_times(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    for (a %= model_prime; b != 0; b >>= 1, a = a * 2 % model_prime) product = (product + (b & 1) * a) % model_prime;
    return product;
}

inline std::uint64_t model_hash(std::string_view bytes, const hash_key& key) {
    std::string padded(bytes);
    padded.resize((padded.size() + 63) / 64 * 64, '\0');
    std::uint64_t hash = 1;
    for (std::size_t unit = 0; unit < padded.size(); unit += 65536) {
        std::uint64_t sum = 0;
        for (std::size_t at = unit; at < std::min(padded.size(), unit + 65536); at += 8) {
            std::uint32_t m[2];
            std::memcpy(m, padded.data() + at, sizeof m);
            const std::uint32_t* const k = key.nh + (at - unit) / 4;
            sum += std::uint64_t{static_cast<std::uint32_t>(m[0] + k[0])} * static_cast<std::uint32_t>(m[1] + k[1]);
        }
        for (const std::uint64_t half : {sum >> 32, sum & 0xffffffff})
            hash = (model_times(hash, key.point) + half) % model_prime;
    }
    return hash;
}

// A key of the tests, the same in every run.
inline const hash_key& test_key() {
    static const hash_key* const key = [] {
        auto* made = new hash_key;
        std::mt19937 words(20261208);
        for (std::uint32_t& word : made->nh) word = static_cast<std::uint32_t>(words());
        made->point = 1 + (std::uint64_t{words()} << 29 ^ words()) % (model_prime - 1);
        return made;
    }();
    return *key;
}

// Every visit, in order, as it comes; values below `limit` may come many at once.
struct recorder {
    visits seen;
    std::uint32_t limit = UINT32_MAX;
    scan_step operator()(std::int32_t value, std::uint64_t line) {
        seen.emplace_back(value, line);
        return scan_step::go_on;
    }
    scan_step visit_plain(const std::uint32_t* values, std::size_t count, std::uint64_t line) {
        for (std::size_t k = 0; k < count; ++k) seen.emplace_back(static_cast<std::int32_t>(values[k]), line + k);
        return scan_step::go_on;
    }
    std::uint32_t plain_limit() const { return limit; }
};
static_assert(line_visitor<recorder>);

// How the passes over `bytes`, open as `input`, differ from the model, in a
// line, or "" where they do not: the visits in order, the pass's end and
// hash, with and without visits; then, for a largest value below
// most_counters (so that it costs little), the counts up to the first
// negative value, the count's stop there, and the table's size.
inline std::string pass_difference(int input, std::string_view bytes, scan_options options,
                                   std::uint64_t most_counters = 1 << 20) {
    const visits expected = model_visits(bytes);
    const auto show = [](const visits& v, std::size_t i) {
        return i < v.size() ? std::to_string(v[i].first) + " at line " + std::to_string(v[i].second) : "nothing";
    };
    options.key = &test_key();
    recorder record;
    const pass_end end = scan_pass(input, record, options);
    if (record.seen != expected) {
        const auto i = static_cast<std::size_t>(
            std::mismatch(record.seen.begin(), record.seen.end(), expected.begin(), expected.end()).first -
            record.seen.begin());
        return "visit " + std::to_string(i) + ": got " + show(record.seen, i) + ", want " + show(expected, i);
    }
    const auto lines = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    const std::uint64_t hash = model_hash(bytes, test_key());
    bytes_only alone;
    const pass_end hashed = scan_pass(input, alone, options);
    if (end.stopped || end.failure || end.bytes != bytes.size() || end.lines != lines || end.hash != hash ||
        hashed.failure || hashed.bytes != bytes.size() || hashed.hash != hash)
        return "the pass's end or hash";

    std::int64_t most = 0;
    for (const auto& [value, line] : expected) most = std::max<std::int64_t>(most, value);
    if (most >= static_cast<std::int64_t>(most_counters)) return "";
    tally_table table;
    const pass_end counted = count_values(input, table, options);
    std::map<std::int32_t, std::uint64_t> counts;
    std::size_t stop = 0;
    for (; stop < expected.size() && expected[stop].first >= 0; ++stop) ++counts[expected[stop].first];
    for (const auto& [value, count] : counts)
        for (const std::int32_t near : {value - 1, value, value + 1})
            if (near >= 0 && static_cast<std::uint64_t>(near) < table.size &&
                count_of(table, static_cast<std::uint32_t>(near)) != (counts.contains(near) ? counts.at(near) : 0))
                return "the count of " + std::to_string(near);
    const bool stopped = stop < expected.size();
    if (counted.failure.has_value() != stopped ||
        (stopped && (counted.failure->line != expected[stop].second || counted.failure->value != expected[stop].first ||
                     counted.failure->fault != tally_fault::negative_value)))
        return "the count's stop, at " + show(expected, stop);
    const std::int32_t largest = counts.empty() ? 0 : std::max(counts.rbegin()->first, 0);
    const std::uint64_t pages = counts.empty() ? 0 : static_cast<std::uint64_t>(largest) / 1024 + 1;
    if (largest_counted(table) != largest || table.size != pages * 1024)
        return "the largest value " + std::to_string(largest_counted(table)) + " of a table of " +
               std::to_string(table.size) + ", want " + std::to_string(largest);
    return "";
}

}  // namespace mavek
