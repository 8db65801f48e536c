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

std::string local_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace qrn_record
