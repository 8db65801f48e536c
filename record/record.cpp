#include "record.h"

#include <cstdio>
#include <cstring>
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

std::string local_time_text(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string local_now_text() { return local_time_text(std::time(nullptr)); }

std::string local_time_ago(std::chrono::seconds ago) {
  return local_time_text(std::time(nullptr) - static_cast<std::time_t>(ago.count()));
}

bool parse_time_bound(const std::string& text, bool end, std::string& out) {
  std::string t = text;
  if (t.size() == 19 && t[10] == 'T') t[10] = ' ';
  const char* shape = t.size() == 10 ? "dddd-dd-dd" : "dddd-dd-dd dd:dd:dd";
  if (t.size() != std::strlen(shape)) return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return false;
  out = t.size() == 10 ? t + (end ? " 23:59:59" : " 00:00:00") : t;
  return true;
}

}  // namespace qrn_record
