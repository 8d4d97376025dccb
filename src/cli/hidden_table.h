// Made by tools/hidden-table from DerivedCoreProperties.txt of Unicode 15.0.0; do not edit.
// The valid code points that a path on a terminal shows escaped, in ranges, in order:
// every Default_Ignorable_Code_Point, the C1 controls, the line and paragraph
// separators, the noncharacters U+FDD0 to U+FDEF and the interlinear annotation
// controls. The last two code points of every plane are noncharacters too, and
// printable.cpp tests for them apart.
#pragma once

namespace mavek {

struct code_range {
    char32_t first, last;
};

inline constexpr code_range hidden_code_points[] = {
    {0x0080, 0x009F}, {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C},   {0x115F, 0x1160},
    {0x17B4, 0x17B5}, {0x180B, 0x180F},   {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},
    {0x3164, 0x3164}, {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
    {0xFFF0, 0xFFFB}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

}  // namespace mavek
