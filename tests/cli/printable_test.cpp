#include "cli/printable.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace mavek {
namespace {

// UTF-8 as the encoding's definition writes any number below 2^21, the
// surrogates included, so that the test can make invalid text too.
std::string utf8(char32_t code) {
    if (code < 0x80) return std::string(1, static_cast<char>(code));
    const int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    for (int i = length - 1; i > 0; --i, code >>= 6) bytes[static_cast<std::size_t>(i)] = static_cast<char>(0x80 | (code & 0x3F));
    bytes[0] = static_cast<char>((0xF00 >> length & 0xFF) | code);
    return bytes;
}

// The characters a terminal shows as themselves: not a control, not a
// surrogate, not past U+10FFFF, and none of those that hide or reorder text.
bool shown(char32_t code) {
    constexpr char32_t hidden[][2] = {{0, 0x1F},          {0x7F, 0x9F},     {0x61C, 0x61C},   {0x200B, 0x200F},
                                      {0x2028, 0x202E},   {0x2060, 0x2064}, {0x2066, 0x2069}, {0xD800, 0xDFFF},
                                      {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF}, {0xE0000, 0xE007F}};
    for (const auto& [first, last] : hidden)
        if (code >= first && code <= last) return false;
    return code <= 0x10FFFF && code % 0x10000 < 0xFFFE;
}

// Every code point, whole and cut short, and every pair of first bytes
// before two continuation bytes, the lowest or the highest (an overlong form
// one below the smallest of its length), against the definitions above: a
// valid character is one that its own encoding writes back byte for byte.
TEST(printable_length, shows_exactly_the_valid_characters_that_a_terminal_shows_as_themselves) {
    for (char32_t code = 0; code < 0x110000; ++code) {
        const std::string bytes = utf8(code);
        ASSERT_EQ(printable_length(bytes + "x"), shown(code) ? bytes.size() : 0) << std::hex << "U+" << std::uint32_t{code};
        // Cut short by the end of the text, with the rest of the character after it in memory.
        const std::string_view cut(bytes.data(), bytes.size() - 1);
        ASSERT_EQ(cut.empty() ? 0 : printable_length(cut), 0U) << std::hex << "U+" << std::uint32_t{code};
    }
    for (int lead = 0; lead < 256; ++lead) {
        for (int pair = 0; pair < 512; ++pair) {
            const char second = static_cast<char>(pair), rest = pair < 256 ? '\x80' : '\xBF';
            const std::string bytes = {static_cast<char>(lead), second, rest, rest};
            std::size_t want = 0;
            for (std::size_t length = 1; length <= 4; ++length) {
                char32_t code = static_cast<unsigned char>(bytes[0]) & (0xFF >> (length == 1 ? 0 : length + 1));
                for (std::size_t i = 1; i < length; ++i) code = code << 6 | (bytes[i] & 0x3F);
                if (utf8(code) == bytes.substr(0, length)) want = shown(code) ? length : 0;
            }
            ASSERT_EQ(printable_length(bytes), want) << std::hex << lead << " " << pair;
        }
    }
}

}  // namespace
}  // namespace mavek
