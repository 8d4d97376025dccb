// What the kernel hands on, and to whom: the value of each line that has a
// token, one at a time or many plain ones at once.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace mavek {

// Every visit answers whether the pass goes on.
enum class [[nodiscard]] scan_step : bool{stop, go_on};

// A visitor takes one value with its line, or a batch of plain values (1 to
// 7 digits, so below 10^7) on consecutive lines with the line of the first.
// A batch holds only values below plain_limit(), read again after each visit
// of one value; any other value comes alone.
template <class Visitor>
concept line_visitor = requires(Visitor& visit, std::int32_t value, std::uint64_t line, const std::uint32_t* values,
                                std::size_t count) {
    { visit(value, line) } -> std::same_as<scan_step>;
    { visit.visit_plain(values, count, line) } -> std::same_as<scan_step>;
    { visit.plain_limit() } -> std::convertible_to<std::uint32_t>;
};

}  // namespace mavek
