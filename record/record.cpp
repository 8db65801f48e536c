#include "record.h"

#include <cstdio>
#include <ctime>

namespace qrn_record {

uint32_t device_id(const unsigned char* record) {
  return static_cast<uint32_t>(record[0]) | static_cast<uint32_t>(record[1]) << 8 |
         static_cast<uint32_t>(record[2]) << 16 | static_cast<uint32_t>(record[3]) << 24;
}

std::string stamp_text(const unsigned char* record) {
  const unsigned char* s = record + kStampOffset;
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                static_cast<unsigned>(s[0] | s[1] << 8), static_cast<unsigned>(s[2]),
                static_cast<unsigned>(s[3]), static_cast<unsigned>(s[4]),
                static_cast<unsigned>(s[5]), static_cast<unsigned>(s[6]));
  return text;
}

bool stamp_valid(const unsigned char* record) {
  const unsigned char* s = record + kStampOffset;
  const unsigned year = static_cast<unsigned>(s[0] | s[1] << 8);
  const unsigned month = s[2], day = s[3];
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr unsigned char kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const unsigned days = kDays[month - 1] + (month == 2 && leap ? 1u : 0u);
  return day <= days && s[4] < 24 && s[5] < 60 && s[6] < 60;
}

std::string stamp_hex(const unsigned char* record, const char* sep) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < kStampSize; ++k) {
    if (k > 0) out += sep;
    out.push_back(digits[record[kStampOffset + k] >> 4]);
    out.push_back(digits[record[kStampOffset + k] & 15]);
  }
  return out;
}

std::string local_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace qrn_record
