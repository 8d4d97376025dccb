// A model of one pass, written to be obviously right rather than fast, and
// the comparison of the real passes with it, which the tests and the fuzz
// target share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tally/scan_pass.h"
#include "tally/tally_file.h"

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

// The fingerprint of the visits: the sum of value × weight of its line in
// each chunk of line numbers, modulo 2^64; then, after a 1, each chunk's sum
// up to the one of the last line (the one after the last newline), high half first, as the coefficients of a
// polynomial modulo 2^61 - 1 at the key's point.
constexpr std::uint64_t model_prime = (std::uint64_t{1} << 61) - 1;
inline std::uint64_t model_times(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    for (a %= model_prime; b != 0; b >>= 1, a = a * 2 % model_prime)
        if (b & 1) product = (product + a) % model_prime;
    return product;
}

inline std::uint64_t model_fingerprint(const visits& seen, std::uint64_t lines, const fingerprint_key& key) {
    fingerprint_weights weights;
    fill_weights(weights, key);
    std::map<std::uint64_t, std::uint64_t> sums;
    for (const auto& [value, line] : seen)
        sums[line / 1024] += std::uint64_t{static_cast<std::uint32_t>(value)} * weights.weight[line % 1024];
    std::uint64_t hash = 1;
    for (std::uint64_t chunk = 0; chunk <= (lines + 1) / 1024; ++chunk)
        for (const std::uint64_t half : {sums[chunk] >> 32, sums[chunk] & 0xffffffff})
            hash = (model_times(hash, key.point) + half) % model_prime;
    return hash;
}

// How the passes over `bytes`, open as `input`, differ from the model, in a
// line, or "" where they do not: the visits in order, the pass's end and
// fingerprint; the first pass's largest value, or its stop at the first
// negative; the second pass's counts up to the first value without a counter,
// with a table as large as the largest value and with one counter short of it
// (up to most_counters, so that it costs little), of each value seen and the
// ones beside it.
inline std::string pass_difference(int input, std::string_view bytes, const scan_options& options,
                                   std::uint64_t most_counters = 1 << 20) {
    const visits expected = model_visits(bytes);
    const auto show = [](const visits& v, std::size_t i) {
        return i < v.size() ? std::to_string(v[i].first) + " at line " + std::to_string(v[i].second) : "nothing";
    };
    visits seen;
    const auto note = [&](std::int32_t value, std::uint64_t line) { return seen.emplace_back(value, line), true; };
    const pass_end end = scan_pass(input, note, options);
    if (seen != expected) {
        const auto i = static_cast<std::size_t>(
            std::mismatch(seen.begin(), seen.end(), expected.begin(), expected.end()).first - seen.begin());
        return "visit " + std::to_string(i) + ": got " + show(seen, i) + ", want " + show(expected, i);
    }
    std::uint64_t most = 0;
    for (const auto& [value, line] : expected)
        most = std::max<std::uint64_t>(most, static_cast<std::uint64_t>(std::max(value, 0)));
    const auto lines = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    if (end.stopped || end.bytes != bytes.size() || end.lines != lines ||
        end.fingerprint != model_fingerprint(expected, lines, options.key))
        return "the pass's end or fingerprint";

    std::int32_t largest = 0;
    const pass_end first = find_largest_value(input, largest, options);
    const auto negative = std::find_if(expected.begin(), expected.end(), [](auto v) { return v.first < 0; });
    const bool stops = negative != expected.end();
    if (first.stopped != stops ||
        (stops ? first.failure->value != negative->first || first.failure->line != negative->second
               : largest != static_cast<std::int32_t>(most)))
        return "the first pass: got " + std::to_string(largest) + ", want " + show(expected, negative - expected.begin());

    for (const std::uint64_t size : {std::min(most + 1, most_counters), std::min(most, most_counters - 1)}) {
        if (size == 0) continue;
        tally_table table = *make_tally_table(static_cast<std::int32_t>(size - 1));
        const pass_end second = count_values(input, table, options);
        std::map<std::uint32_t, std::uint64_t> counts;
        std::size_t stop = 0;
        for (; stop < expected.size() && static_cast<std::uint32_t>(expected[stop].first) < size; ++stop)
            ++counts[static_cast<std::uint32_t>(expected[stop].first)];
        for (const auto& [value, count] : counts)
            for (const std::uint32_t near : {value - 1, value, value + 1})
                if (near < size && count_of(table, near) != (counts.contains(near) ? counts.at(near) : 0))
                    return "the count of " + std::to_string(near) + " with " + std::to_string(size) + " counters";
        const bool stopped = stop < expected.size();
        if (second.failure.has_value() != stopped ||
            (stopped && (second.failure->line != expected[stop].second ||
                         (second.failure->fault == tally_fault::negative_value) != (expected[stop].first < 0))))
            return "the second pass's stop with " + std::to_string(size) + " counters, at " + show(expected, stop);
    }
    return "";
}

}  // namespace mavek
