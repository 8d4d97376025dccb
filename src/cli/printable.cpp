#include "cli/printable.h"

#include "cli/hidden_table.h"

#include <algorithm>
#include <iterator>

namespace mavek {
namespace {

bool is_hidden(char32_t code) {
    // The last two code points of every plane are noncharacters too.
    if ((code & 0xFFFE) == 0xFFFE) return true;
    const auto above = std::upper_bound(std::begin(hidden_code_points), std::end(hidden_code_points), code,
                                        [](char32_t c, const code_range& range) { return c < range.first; });
    return above != std::begin(hidden_code_points) && code <= std::prev(above)->last;
}

}  // namespace

std::size_t printable_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead >= 0x20 && lead < 0x7F) return 1;
    std::size_t length;
    char32_t code, smallest;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const bool valid = code >= smallest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid && !is_hidden(code) ? length : 0;
}

}  // namespace mavek
