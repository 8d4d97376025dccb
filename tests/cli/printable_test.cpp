#include "cli/printable.h"

#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace mavek {
namespace {

// UTF-8 as the encoding's definition writes any number below 2^21, the
// surrogates included, so that the test can make invalid text too.
std::string utf8(char32_t code) {
    if (code < 0x80) return std::string(1, static_cast<char>(code));
    const int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    for (int i = length - 1; i > 0; --i, code >>= 6)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(0x80 | (code & 0x3F));
    bytes[0] = static_cast<char>((0xF00 >> length & 0xFF) | code);
    return bytes;
}

// Whether a code point is a character, as its own encoding writes it back:
// not a surrogate, not past U+10FFFF; and not a C0 or C1 control.
bool valid_character(char32_t code) {
    return code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) && code >= 0x20 && (code < 0x7F || code > 0x9F);
}

// Every code point, whole and cut short, and every pair of first bytes
// before two continuation bytes, the lowest or the highest (an overlong form
// one below the smallest of its length): a character is shown whole or not
// at all, and never one that is not valid; a valid one is one that its own
// encoding writes back byte for byte.
TEST(printable_length, shows_only_whole_valid_characters) {
    for (char32_t code = 0; code < 0x110000; ++code) {
        const std::string bytes = utf8(code);
        const std::size_t shown = printable_length(bytes + "x");
        ASSERT_TRUE(shown == 0 || (shown == bytes.size() && valid_character(code)))
            << std::hex << "U+" << std::uint32_t{code};
        // Cut short by the end of the text, with the rest of the character after it in memory.
        const std::string_view cut(bytes.data(), bytes.size() - 1);
        ASSERT_EQ(cut.empty() ? 0 : printable_length(cut), 0U) << std::hex << "U+" << std::uint32_t{code};
    }
    for (int lead = 0; lead < 256; ++lead) {
        for (int pair = 0; pair < 512; ++pair) {
            const char second = static_cast<char>(pair), rest = pair < 256 ? '\x80' : '\xBF';
            const std::string bytes = {static_cast<char>(lead), second, rest, rest};
            std::size_t valid = 0;
            for (std::size_t length = 1; length <= 4; ++length) {
                char32_t code = static_cast<unsigned char>(bytes[0]) & (0xFF >> (length == 1 ? 0 : length + 1));
                for (std::size_t i = 1; i < length; ++i) code = code << 6 | (bytes[i] & 0x3F);
                if (utf8(code) == bytes.substr(0, length) && valid_character(code)) valid = length;
            }
            const std::size_t shown = printable_length(bytes);
            ASSERT_TRUE(shown == 0 || shown == valid) << std::hex << lead << " " << pair;
        }
    }
}

// Characters of every kind that show as themselves, and one of each kind
// that would let one path pass for another: default-ignorable code points
// at the edges of the table's ranges (which the suite holds against
// Unicode's data), and the others that the table adds.
TEST(printable_length, hides_what_moves_reorders_or_hides_text) {
    const std::pair<char32_t, bool> rows[] = {
        {U'a', true},      {U'~', true},          {U'\u00e9', true},     {U'\u00a0', true},     {U'\u0416', true},
        {U'\u05d0', true}, {U'\u0627', true},     {U'\u4e2d', true},     {U'\u2713', true},     {U'\u202f', true},
        {U'\uffe0', true}, {U'\U0001f642', true}, {U'\U00010000', true}, {U'\U0010fffd', true}, {0x85, false},
        {0x2028, false},   {0x2029, false},                          // line and paragraph separators
        {0xFFF9, false},   {0xFFFB, false},                          // interlinear annotation anchor and terminator
        {0xFDD0, false},   {0xFFFE, false},       {0x1FFFF, false},  // noncharacters, as are the last two of every
                                                                     // plane
    };
    for (const auto& [code, shown] : rows)
        EXPECT_EQ(printable_length(utf8(code)), shown ? utf8(code).size() : 0)
            << std::hex << "U+" << std::uint32_t{code};
}

}  // namespace
}  // namespace mavek
