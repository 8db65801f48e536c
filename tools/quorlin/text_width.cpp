#include "text_width.h"


namespace {

struct Range {
  char32_t first, last;
};

// Wide and full-width blocks (Unicode East Asian Width W and F), coarse but
// complete for the scripts that appear in plant names.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

// Combining marks and zero-width characters.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
};

template <std::size_t N>
bool in(const Range (&ranges)[N], char32_t c) {
  for (const Range& r : ranges)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

// Decodes one character at s[i]; returns its length in bytes, 0 if invalid.
std::size_t decode(std::string_view s, std::size_t i, char32_t& c) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t min;
  if (b < 0x80) {
    c = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, c = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, c = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) return 0;
    c = (c << 6) | (cont & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::size_t display_width(std::string_view utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t len = decode(utf8, i, c);
    if (len == 0) {
      ++width;
      ++i;
      continue;
    }
    i += len;
    if (in(kZero, c)) continue;
    width += in(kWide, c) ? 2 : 1;
  }
  return width;
}

std::u32string code_points(std::string_view utf8) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t len = decode(utf8, i, c);
    if (len == 0) c = 0xDC00 | static_cast<unsigned char>(utf8[i]);
    out.push_back(c);
    i += len == 0 ? 1 : len;
  }
  return out;
}

std::string pad_right(std::string_view text, std::size_t columns) {
  std::string out(text);
  const std::size_t w = display_width(text);
  if (w < columns) out.append(columns - w, ' ');
  return out;
}

std::string pad_left(std::string_view text, std::size_t columns) {
  const std::size_t w = display_width(text);
  std::string out(w < columns ? columns - w : 0, ' ');
  out.append(text);
  return out;
}
