// Which characters of a path may reach a terminal as they are.
#pragma once

#include <cstddef>
#include <string_view>

namespace mavek {

// How many bytes at the start of text (not empty) form one character that a
// terminal shows as itself: printable ASCII, or a character in valid UTF-8
// (shortest form, no surrogate, at most U+10FFFF) that is neither a control
// nor invisible. 0 for any other byte, and for the characters that move,
// reorder or hide what a terminal shows, so that one path cannot pass for
// another: every code point that Unicode calls default-ignorable (zero-width
// and bidirectional controls, fillers, variation selectors, tags and the
// like), the C1 controls, the line and paragraph separators, the
// interlinear annotation controls and the noncharacters (hidden_table.h).
std::size_t printable_length(std::string_view text);

}  // namespace mavek
