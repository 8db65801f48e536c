#include "record_view.h"

#include "quorlin_data.h"

#include <charconv>
#include <cstddef>
#include <cmath>
#include <cstring>

namespace {

constexpr std::size_t kRecordSize = sizeof(Quorlin_Data_t);
constexpr std::size_t kStampOffset = offsetof(Quorlin_Data_t, stamp);
constexpr int kStamp = -1;

// For each record byte, the last writer in a round: a point index or the stamp.
std::vector<int> last_writers() {
  std::vector<int> owner(kRecordSize, -2);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    for (std::size_t b = p.offset; b < p.offset + p.width && b < kRecordSize; ++b)
      owner[b] = static_cast<int>(i);
  }
  for (std::size_t b = kStampOffset; b < kRecordSize; ++b) owner[b] = kStamp;
  return owner;
}

}  // namespace

double field_value(std::size_t width, const unsigned char* b) {
  if (width == 1) return b[0];
  if (width == 2) return static_cast<int16_t>(static_cast<uint16_t>(b[0] | b[1] << 8));
  const uint32_t bits = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                        static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::vector<PointReading> read_points(const unsigned char* record) {
  static const std::vector<int> owner = last_writers();
  std::vector<PointReading> out(kQuorlinPointCount);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    PointReading& r = out[i];
    r.index = i;
    r.point = &p;
    std::memcpy(r.bytes.data(), record + p.offset, p.width);
    r.value = field_value(p.width, r.bytes.data());
    for (std::size_t k = p.offset; k < p.offset + p.width; ++k) {
      const int w = owner[k];
      if (w == static_cast<int>(i)) continue;
      r.overwritten_by = w == kStamp ? "the time stamp" : quorlin_points[w].name;
      break;
    }
  }
  return out;
}

std::string value_text(const PointReading& reading) {
  if (reading.point->width != 4) return std::to_string(static_cast<long>(reading.value));
  const float f = static_cast<float>(reading.value);
  if (std::isnan(f)) return "nan";
  if (std::isinf(f)) return f < 0 ? "-inf" : "inf";
  char text[48];
  const auto result = std::to_chars(text, text + sizeof text, f);
  return std::string(text, result.ptr);
}

std::string hex_bytes(const PointReading& reading, const char* sep) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < reading.point->width; ++k) {
    if (k > 0) out += sep;
    out.push_back(digits[reading.bytes[k] >> 4]);
    out.push_back(digits[reading.bytes[k] & 15]);
  }
  return out;
}
