#include "round_report.h"

#include <algorithm>
#include <cstring>

namespace qrn_report {
namespace {

void put16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}
uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void count_statuses(RoundReport& r) {
  r.good = r.uncertain = r.bad = 0;
  for (const uint32_t s : r.statuses) {
    if (is_good(s)) ++r.good;
    else if (is_uncertain(s)) ++r.uncertain;
    else ++r.bad;
  }
}

std::vector<unsigned char> encode(const RoundReport& r) {
  // The distinct statuses in order of first appearance, at most 255.
  std::vector<uint32_t> table;
  std::vector<unsigned char> index(r.statuses.size());
  for (std::size_t i = 0; i < r.statuses.size(); ++i) {
    uint32_t s = r.statuses[i];
    auto it = std::find(table.begin(), table.end(), s);
    if (it == table.end()) {
      // The last three entries are kept for the severities alone.
      if (table.size() >= kMaxTableEntries - 3) {
        s = is_good(s) ? 0u : is_uncertain(s) ? 0x40000000u : 0x80000000u;
        it = std::find(table.begin(), table.end(), s);
      }
      if (it == table.end()) it = table.insert(table.end(), s);
    }
    index[i] = static_cast<unsigned char>(it - table.begin());
  }
  // Without types the report is a version-1 one, as readers before them take.
  const bool typed = !r.types.empty();
  const std::size_t header = kHeaderSize + (typed ? (r.statuses.size() + 1) / 2 : 0);
  std::vector<unsigned char> out(header + 4 * table.size() + index.size(), 0);
  unsigned char* p = out.data();
  put16(p, typed ? kVersion : 1);
  put16(p + 2, static_cast<uint32_t>(header));
  put32(p + 4, r.device_id);
  std::memcpy(p + 8, r.stamp, 7);
  p[15] = r.read_mode;
  p[16] = r.session_mode;
  p[17] = r.security_mode;
  put16(p + 18, static_cast<uint32_t>(r.statuses.size()));
  put32(p + 20, r.duration_ms);
  put32(p + 24, r.outcome);
  put16(p + 28, r.good);
  put16(p + 30, r.uncertain);
  put16(p + 32, r.bad);
  p[34] = static_cast<unsigned char>(table.size());
  for (std::size_t i = 0; i < r.types.size() && i < r.statuses.size(); ++i)
    p[kHeaderSize + i / 2] |= static_cast<unsigned char>((r.types[i] & 0x0f) << (i % 2 * 4));
  for (std::size_t k = 0; k < table.size(); ++k) put32(p + header + 4 * k, table[k]);
  if (!index.empty()) std::memcpy(p + header + 4 * table.size(), index.data(), index.size());
  return out;
}

bool decode(const unsigned char* p, std::size_t size, RoundReport& r) {
  if (p == nullptr || size < kHeaderSize || get16(p) == 0) return false;
  const std::size_t header = get16(p + 2);
  if (header < kHeaderSize || header > size) return false;
  const std::size_t entries = p[34], points = get16(p + 18);
  if (size != header + 4 * entries + points) return false;
  const bool typed = get16(p) >= 2;
  if (typed && header < kHeaderSize + (points + 1) / 2) return false;
  r.device_id = get32(p + 4);
  std::memcpy(r.stamp, p + 8, 7);
  r.read_mode = p[15];
  r.session_mode = p[16];
  r.security_mode = p[17];
  r.duration_ms = get32(p + 20);
  r.outcome = get32(p + 24);
  r.good = get16(p + 28);
  r.uncertain = get16(p + 30);
  r.bad = get16(p + 32);
  r.statuses.resize(points);
  r.types.assign(typed ? points : 0, builtin::None);
  for (std::size_t i = 0; i < r.types.size(); ++i)
    r.types[i] = static_cast<uint8_t>(p[kHeaderSize + i / 2] >> (i % 2 * 4) & 0x0f);
  const unsigned char* index = p + header + 4 * entries;
  for (std::size_t i = 0; i < points; ++i) {
    if (index[i] >= entries) return false;
    r.statuses[i] = get32(p + header + 4 * index[i]);
  }
  return true;
}

}  // namespace qrn_report
