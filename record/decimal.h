#pragma once

// Decimal numbers as users and files give them: ids, counts, minutes.
#include <cstddef>
#include <optional>
#include <string>

// `text` as a whole decimal number of at most `most_digits` digits and at
// most `max`; nothing for a sign, a space, an empty text or a larger number.
inline std::optional<unsigned long long> parse_decimal(const std::string& text,
                                                       unsigned long long max,
                                                       std::size_t most_digits = 20) {
  if (text.empty() || text.size() > most_digits ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}
