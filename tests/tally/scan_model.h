// A model of one pass, written to be obviously right rather than fast, that
// the tests and the fuzz target hold the scan against.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// What the first pass must give: the largest value (and line 0), or the first
// negative value and its line, where it stops.
inline std::pair<std::int32_t, std::uint64_t> model_first_pass(const visits& expected) {
    const auto negative = std::find_if(expected.begin(), expected.end(), [](auto v) { return v.first < 0; });
    if (negative != expected.end()) return *negative;
    std::int32_t largest = 0;
    for (const auto& visit : expected) largest = std::max(largest, visit.first);
    return {largest, 0};
}

// What the second pass must give with a table of `size` counters: the count
// of each value up to the first value without a counter, and that visit's
// index, or expected.size() when every value has one.
inline std::pair<std::map<std::uint32_t, std::uint64_t>, std::size_t> model_counts(const visits& expected,
                                                                                    std::uint32_t size) {
    std::map<std::uint32_t, std::uint64_t> counts;
    std::size_t i = 0;
    for (; i < expected.size() && static_cast<std::uint32_t>(expected[i].first) < size; ++i)
        ++counts[static_cast<std::uint32_t>(expected[i].first)];
    return {counts, i};
}

}  // namespace mavek
