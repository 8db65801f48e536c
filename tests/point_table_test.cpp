#include "point_table.h"
#include "quorlin_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// The generator checks its own numbers (section bounds, width tally, id lengths,
// non-ASCII count) when PointTable.generated_file_is_current runs; the cases
// here check the table against the record's layout.
constexpr std::size_t kRecordSize = sizeof(Quorlin_Data_t);
constexpr std::size_t kStampAt = offsetof(Quorlin_Data_t, stamp);
// Byte 4, between the device id and the first point, belongs to no point.
constexpr std::size_t kFirstPointAt = offsetof(Quorlin_Data_t, points) + 1;
// A point may reach into the stamp's date (year, month, day), never its time of day.
constexpr std::size_t kPointsEnd = kStampAt + 4;

std::string id_of(std::size_t i) { return quorlin_points[i].name; }

const std::map<std::string, std::size_t>& index_by_name() {
  static const std::map<std::string, std::size_t> index = [] {
    std::map<std::string, std::size_t> m;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) m.emplace(id_of(i), i);
    return m;
  }();
  return index;
}

bool has_id(const std::string& name) { return index_by_name().count(name) != 0; }

std::size_t end_of(const QuorlinPoint& p) { return p.offset + p.width; }

// Whether s is well-formed UTF-8 (no stray, overlong or truncated sequences).
bool is_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// The unit (3, 4 or 5) a "t|D3G<unit>" id belongs to, or 0.
int unit_of(const std::string& id) {
  return id.size() > 5 && id.rfind("t|D3G", 0) == 0 && id[5] >= '3' && id[5] <= '5' ? id[5] - '0'
                                                                                     : 0;
}

// Runs of consecutive points of one unit in read order: (unit, first index, length).
std::vector<std::array<std::size_t, 3>> unit_runs() {
  std::vector<std::array<std::size_t, 3>> runs;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const std::size_t unit = static_cast<std::size_t>(unit_of(id_of(i)));
    if (!runs.empty() && runs.back()[0] == unit) ++runs.back()[2];
    else runs.push_back({unit, i, 1});
  }
  return runs;
}

// Record bytes skipped between consecutive points in read order.
std::set<std::size_t> padding_bytes() {
  std::set<std::size_t> bytes;
  for (std::size_t i = 1; i < kQuorlinPointCount; ++i)
    for (std::size_t b = end_of(quorlin_points[i - 1]); b < quorlin_points[i].offset; ++b)
      bytes.insert(b);
  return bytes;
}

// How many times each record byte is written: device id, points, stamp.
std::array<int, kRecordSize> write_counts() {
  std::array<int, kRecordSize> writes{};
  auto mark = [&writes](std::size_t from, std::size_t n) {
    for (std::size_t b = from; b < from + n && b < kRecordSize; ++b) ++writes[b];
  };
  mark(offsetof(Quorlin_Data_t, device_id), sizeof(uint32_t));
  for (const QuorlinPoint& p : quorlin_points) mark(p.offset, p.width);
  mark(offsetof(Quorlin_Data_t, stamp), sizeof(RoundStamp));
  return writes;
}

bool fields_intersect(std::size_t a_off, std::size_t a_len, std::size_t b_off, std::size_t b_len) {
  return a_off < b_off + b_len && b_off < a_off + a_len;
}

// ---------------------------------------------------------------------------
// Shape of the table

TEST(PointTable, first_and_last_points) {
  EXPECT_EQ(id_of(0), "t|D3G1_AI1_1_H_Alarm");
  EXPECT_EQ(id_of(1), "t|D3G1_AI1_1_HH_Alarm");
  EXPECT_EQ(quorlin_points[0].offset, kFirstPointAt);
  EXPECT_EQ(quorlin_points[0].width, 1u);
  const QuorlinPoint& last = quorlin_points[kQuorlinPointCount - 1];
  EXPECT_EQ(std::string(last.name), "t|D3G5_M214_TTime_M1");
  EXPECT_EQ(last.offset, kStampAt);
  EXPECT_EQ(end_of(last), kPointsEnd);
}

// In read order each point follows the one before; only where the width
// changes may the next start a little later (padding) or earlier (overlap).
TEST(PointTable, points_are_packed_in_read_order_and_change_width_three_times) {
  std::vector<std::pair<std::string, std::string>> width_changes;
  for (std::size_t i = 1; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& prev = quorlin_points[i - 1];
    const QuorlinPoint& p = quorlin_points[i];
    ASSERT_TRUE(p.width == 1 || p.width == 2 || p.width == 4) << id_of(i);
    if (p.width == prev.width) {
      ASSERT_EQ(p.offset, end_of(prev)) << "point " << i + 1 << " " << id_of(i);
      continue;
    }
    width_changes.emplace_back(id_of(i - 1), id_of(i));
    EXPECT_LT(p.offset, end_of(prev) + p.width) << "padding no wider than a field: " << id_of(i);
    EXPECT_GT(p.offset + prev.width, end_of(prev)) << "overlap within one field: " << id_of(i);
  }
  EXPECT_EQ(width_changes, (std::vector<std::pair<std::string, std::string>>{
                               {"t|D3G5_V9_status", "t|D3G3_M11_供油压力"},
                               {"t|D3二层末端进水温度", "t|D3G3_M41_HZ_PV"},
                               {"t|D3G5_M214_转矩", "t|D3G3_M41_功率"}}));
}

// Repeated for units 3, 4 and 5: each run of unit-3 points is followed by
// runs of as many unit-4 and unit-5 points with the same names.
TEST(PointTable, unit_points_come_in_equal_runs_for_units_3_4_and_5) {
  const auto runs = unit_runs();
  ASSERT_GE(runs.size(), 3u);
  std::size_t triples = 0;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    if (runs[r][0] != 3) continue;
    ASSERT_LT(r + 2, runs.size());
    ++triples;
    for (std::size_t u = 1; u < 3; ++u) {
      const auto& run = runs[r + u];
      ASSERT_EQ(run[0], 3 + u) << "after " << id_of(runs[r][1]);
      ASSERT_EQ(run[2], runs[r][2]) << id_of(run[1]);
      for (std::size_t k = 0; k < run[2]; ++k) {
        std::string twin = id_of(runs[r][1] + k);
        twin[5] = static_cast<char>('3' + u);
        EXPECT_EQ(id_of(run[1] + k), twin);
      }
    }
  }
  EXPECT_GT(triples, 0u);
  // No unit-4 or unit-5 point outside such a run.
  for (const auto& run : runs) {
    if (run[0] == 4 || run[0] == 5) {
      EXPECT_EQ(unit_of(id_of(run[1] - 1)), int(run[0]) - 1) << id_of(run[1]);
    }
  }
  // The first: group 1's alarm flags end before the units' alarm flags begin.
  EXPECT_EQ(id_of(runs[1][1] - 1), "t|D3G1_V15_Alarm");
  EXPECT_EQ(id_of(runs[2][1]), "t|D3G4_AI1_1_H_Alarm");
}

TEST(PointTable, widths_follow_the_table_not_the_name) {
  const std::pair<const char*, unsigned> cases[] = {
      {"t|D3G3_M41_HZ_PV", 2},  {"t|D3G5_M51_HZ_PV", 2},  {"t|D3G4_M211_HZ_PV", 4},
      {"t|D3G1_M63_HZ_PV", 4},  {"t|D3G3_M211_功率", 2},  {"t|D3G5_M214_电流", 2},
      {"t|D3G4_M41_功率", 4},   {"t|D3G5_M51_电流", 4},   {"t|D3G5_Working_Mode", 2},
      {"t|D3G3_M41_HZ_PV1", 4},
  };
  for (const auto& [name, width] : cases) {
    ASSERT_TRUE(has_id(name)) << name;
    EXPECT_EQ(quorlin_points[index_by_name().at(name)].width, width) << name;
  }
}

// ---------------------------------------------------------------------------
// Node ids

TEST(PointTableIds, are_distinct_and_begin_t_D3) {
  EXPECT_EQ(index_by_name().size(), kQuorlinPointCount);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    ASSERT_NE(quorlin_points[i].name, nullptr) << "point " << i + 1;
    EXPECT_EQ(std::strncmp(quorlin_points[i].name, "t|D3", 4), 0) << id_of(i);
  }
}

TEST(PointTableIds, shortest_and_longest) {
  std::map<std::size_t, std::set<std::string>> by_length;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    by_length[std::strlen(quorlin_points[i].name)].insert(id_of(i));
  }
  ASSERT_FALSE(by_length.empty());
  EXPECT_EQ(by_length.begin()->second, (std::set<std::string>{"t|D3_SB1", "t|D3_SB2"}));
  EXPECT_EQ(by_length.rbegin()->second, std::set<std::string>{"t|D3G蓄冷罐充放冷流量计实际值"});
}

TEST(PointTableIds, are_well_formed_utf8_and_chinese_ids_are_stored_as_their_bytes) {
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) EXPECT_TRUE(is_utf8(id_of(i))) << i + 1;
  // Spelled with escapes so the check does not depend on how this file is decoded:
  // the first 4-byte point.
  const std::string expected =
      "t|D3G3_M11_\xE4\xBE\x9B\xE6\xB2\xB9\xE5\x8E\x8B\xE5\x8A\x9B";  // 供油压力
  EXPECT_EQ(expected.size(), 23u);
  const QuorlinPoint* first_wide = std::find_if(
      std::begin(quorlin_points), std::end(quorlin_points), [](auto& p) { return p.width == 4; });
  ASSERT_NE(first_wide, std::end(quorlin_points));
  EXPECT_EQ(std::string(first_wide->name), expected);
  EXPECT_EQ(std::strlen(first_wide->name), 23u);
}

TEST(PointTableIds, irregular_names_are_kept_as_the_controller_spells_them) {
  std::vector<std::string> no_group_digit;
  std::size_t double_underscore_pv = 0;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const std::string id = id_of(i);
    if (id.rfind("t|D3GM", 0) == 0) no_group_digit.push_back(id);
    if (id.size() > 4 && id.compare(id.size() - 4, 4, "__PV") == 0) ++double_underscore_pv;
    EXPECT_NE(id.rfind("t|D3G2", 0), 0u) << "there is no group 2: " << id;
  }
  EXPECT_EQ(no_group_digit, (std::vector<std::string>{"t|D3GM41自动频率", "t|D3GM41自动频率百分比",
                                                      "t|D3GM41频率低限设定", "t|D3GM41频率高限设定"}));
  // Analog present values: 24 of group 1 and 36 for each of the three units.
  EXPECT_EQ(double_underscore_pv, 24u + 3 * 36u);
  EXPECT_TRUE(has_id("t|D3G1_AI3_8__PV"));
  EXPECT_FALSE(has_id("t|D3G1_AI3_8_PV"));

  for (const char* g : {"3", "4", "5"}) {
    const std::string unit = std::string("t|D3G") + g;
    EXPECT_TRUE(has_id(unit + "_V9_status")) << g;
    EXPECT_FALSE(has_id(unit + "_V9_1_status")) << g;
    EXPECT_TRUE(has_id(unit + "_V9_1_Alarm")) << g;
    EXPECT_FALSE(has_id(unit + "_V9_Alarm")) << g;
  }

  // The two storage-tank ids differ in 充 and 冲.
  EXPECT_TRUE(has_id("t|D3G蓄冷罐充放冷流量计实际值"));
  EXPECT_TRUE(has_id("t|D3G蓄冷罐冲放冷流量设定"));
  EXPECT_FALSE(has_id("t|D3G蓄冷罐冲放冷流量计实际值"));
  EXPECT_FALSE(has_id("t|D3G蓄冷罐充放冷流量设定"));
}

// ---------------------------------------------------------------------------
// Record layout as the table fills it

TEST(RecordLayout, every_field_lies_between_the_device_id_and_the_stamps_date) {
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    EXPECT_GE(p.offset, kFirstPointAt) << id_of(i);
    EXPECT_LE(end_of(p), kPointsEnd) << id_of(i);
  }
}

TEST(RecordLayout, only_byte_4_and_the_padding_are_never_written) {
  const auto writes = write_counts();
  std::set<std::size_t> unwritten;
  for (std::size_t b = 0; b < kRecordSize; ++b) {
    if (writes[b] == 0) unwritten.insert(b);
  }
  std::set<std::size_t> expected = padding_bytes();
  expected.insert(kFirstPointAt - 1);
  EXPECT_EQ(unwritten, expected);
}

// Two pairs overlap: a 2-byte point over the upper half of the 4-byte point
// before it, and the stamp over the last point.
TEST(RecordLayout, shared_bytes_are_those_of_the_two_overlapping_pairs) {
  std::vector<std::pair<std::size_t, std::size_t>> sharing;
  for (std::size_t a = 0; a < kQuorlinPointCount; ++a) {
    for (std::size_t b = a + 1; b < kQuorlinPointCount; ++b) {
      if (fields_intersect(quorlin_points[a].offset, quorlin_points[a].width,
                           quorlin_points[b].offset, quorlin_points[b].width)) {
        sharing.emplace_back(a, b);
      }
    }
  }
  ASSERT_EQ(sharing.size(), 1u);
  const auto [a, b] = sharing[0];
  EXPECT_EQ(id_of(a), "t|D3二层末端进水温度");
  EXPECT_EQ(id_of(b), "t|D3G3_M41_HZ_PV");
  const QuorlinPoint &under = quorlin_points[a], &over = quorlin_points[b];
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(end_of(over), end_of(under));
  EXPECT_EQ(over.width * 2, under.width);

  std::vector<std::size_t> under_stamp;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (fields_intersect(quorlin_points[i].offset, quorlin_points[i].width, kStampAt,
                         sizeof(RoundStamp))) {
      under_stamp.push_back(i);
    }
  }
  EXPECT_EQ(under_stamp, std::vector<std::size_t>{kQuorlinPointCount - 1});

  // Bytes written twice are exactly the shared ones; none three times.
  const auto writes = write_counts();
  std::vector<std::size_t> twice, expected;
  for (std::size_t b = 0; b < kRecordSize; ++b) {
    EXPECT_LE(writes[b], 2) << "byte " << b;
    if (writes[b] == 2) twice.push_back(b);
  }
  for (std::size_t x = over.offset; x < end_of(over); ++x) expected.push_back(x);
  for (std::size_t x = kStampAt; x < kPointsEnd; ++x) expected.push_back(x);
  EXPECT_EQ(twice, expected);
}

TEST(RecordLayout, four_byte_fields_after_the_two_byte_ones_start_at_4k_plus_2) {
  std::size_t last_narrow = 0;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (quorlin_points[i].width == 2) last_narrow = i;
  }
  ASSERT_GT(last_narrow, 0u);
  for (std::size_t i = last_narrow + 1; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    EXPECT_EQ(p.width, 4u) << id_of(i);
    EXPECT_EQ(p.offset % 4, 2u) << id_of(i);
  }
}

}  // namespace
