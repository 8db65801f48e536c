#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Terminal columns that UTF-8 text takes: East Asian wide and full-width
// characters count 2, combining marks 0, everything else 1. A byte that is
// not part of valid UTF-8 counts as one column.
std::size_t display_width(std::string_view utf8);

// The characters of UTF-8 text; each byte that is not part of valid UTF-8
// stands for itself as U+DC80..U+DCFF (a value valid text never decodes to).
std::u32string code_points(std::string_view utf8);

// `text` followed by blanks up to `columns` display columns (never cut).
std::string pad_right(std::string_view text, std::size_t columns);
// Blanks, then `text`, to fill `columns` display columns (never cut).
std::string pad_left(std::string_view text, std::size_t columns);
