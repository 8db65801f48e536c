#include "point_table.h"
#include "quorlin_data.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kRecordSize = sizeof(Quorlin_Data_t);

// Section boundaries of the table in read order: first/last record byte,
// field width and number of points.
struct Section {
  unsigned first, last, width, count;
};
constexpr Section kSections[] = {
    {5, 112, 1, 108},      {113, 595, 1, 483},    {596, 637, 1, 42},     {638, 682, 1, 45},
    {683, 892, 1, 210},    {893, 943, 1, 51},     {944, 1198, 1, 255},   {1199, 1252, 1, 54},
    {1256, 1567, 4, 78},   {1568, 1703, 4, 34},   {1704, 1751, 4, 12},   {1752, 2351, 4, 150},
    {2352, 5039, 4, 672},  {5040, 5159, 4, 30},   {5160, 5615, 4, 114},  {5616, 5679, 4, 16},
    {5680, 5711, 4, 8},    {5712, 5879, 4, 42},   {5880, 5903, 4, 6},    {5904, 6047, 4, 36},
    {6048, 6271, 4, 56},   {6272, 6303, 4, 8},    {6302, 6391, 2, 45},   {6394, 6541, 4, 37},
    {6542, 6589, 4, 12},   {6590, 6997, 4, 102},
};

// Sections that repeat for units 3, 4 and 5 start a block at each offset.
constexpr unsigned kUnitBlockStarts[][3] = {
    {113, 274, 435},     {683, 753, 823},     {944, 1029, 1114},   {2352, 3248, 4144},
    {5160, 5312, 5464},  {5712, 5768, 5824},  {6590, 6726, 6862},
};

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

bool is_ascii(const std::string& s) {
  for (unsigned char ch : s) {
    if (ch >= 0x80) return false;
  }
  return true;
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

TEST(PointTable, widths_are_1248_ones_45_twos_1413_fours) {
  std::map<unsigned, std::size_t> tally;
  for (const QuorlinPoint& p : quorlin_points) ++tally[p.width];
  const std::map<unsigned, std::size_t> expected{{1, 1248}, {2, 45}, {4, 1413}};
  EXPECT_EQ(tally, expected);
}

TEST(PointTable, first_and_last_points) {
  EXPECT_EQ(id_of(0), "t|D3G1_AI1_1_H_Alarm");
  EXPECT_EQ(quorlin_points[0].offset, 5u);
  EXPECT_EQ(quorlin_points[0].width, 1u);
  const QuorlinPoint& last = quorlin_points[kQuorlinPointCount - 1];
  EXPECT_EQ(std::string(last.name), "t|D3G5_M214_TTime_M1");
  EXPECT_EQ(last.offset, 6994u);
  EXPECT_EQ(last.width, 4u);
}

TEST(PointTable, points_are_packed_within_each_section_and_sections_start_at_their_offsets) {
  std::size_t i = 0;
  for (std::size_t s = 0; s < std::size(kSections); ++s) {
    const Section& sec = kSections[s];
    ASSERT_LE(i + sec.count, kQuorlinPointCount) << "section " << s + 1;
    unsigned expected_offset = sec.first;
    for (std::size_t k = 0; k < sec.count; ++k, ++i) {
      ASSERT_EQ(quorlin_points[i].offset, expected_offset)
          << "section " << s + 1 << ", point " << i + 1 << " " << id_of(i);
      ASSERT_EQ(quorlin_points[i].width, sec.width) << "point " << i + 1;
      expected_offset += sec.width;
    }
    EXPECT_EQ(expected_offset - 1, sec.last) << "section " << s + 1;
  }
  EXPECT_EQ(i, kQuorlinPointCount);
}

TEST(PointTable, unit_blocks_start_at_their_offsets_in_group_order) {
  std::map<unsigned, std::size_t> at_offset;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) at_offset.emplace(quorlin_points[i].offset, i);
  for (const auto& starts : kUnitBlockStarts) {
    for (int b = 0; b < 3; ++b) {
      const auto it = at_offset.find(starts[b]);
      ASSERT_NE(it, at_offset.end()) << "no point at " << starts[b];
      const std::size_t i = it->second;
      const std::string group = "t|D3G" + std::to_string(3 + b);
      EXPECT_EQ(id_of(i).rfind(group, 0), 0u) << id_of(i) << " at " << starts[b];
      if (b > 0) {
        // The point before a block start still belongs to the previous unit.
        const std::string previous = "t|D3G" + std::to_string(2 + b);
        EXPECT_EQ(id_of(i - 1).rfind(previous, 0), 0u) << id_of(i - 1);
      }
    }
  }
}

struct SpotCheck {
  std::size_t index;  // 1-based read position
  const char* name;
  unsigned offset;
  unsigned width;
};

TEST(PointTable, spot_checked_points_sit_at_their_positions) {
  const SpotCheck checks[] = {
      {1, "t|D3G1_AI1_1_H_Alarm", 5, 1},      {2, "t|D3G1_AI1_1_HH_Alarm", 6, 1},
      {108, "t|D3G1_V15_Alarm", 112, 1},      {270, "t|D3G4_AI1_1_H_Alarm", 274, 1},
      {1248, "t|D3G5_V9_status", 1252, 1},    {1249, "t|D3G3_M11_供油压力", 1256, 4},
      {2510, "t|D3二层末端进水温度", 6300, 4}, {2511, "t|D3G3_M41_HZ_PV", 6302, 2},
      {2556, "t|D3G3_M41_功率", 6394, 4},     {2609, "t|D3G3_M41_HZ_PV1", 6606, 4},
      {2706, "t|D3G5_M214_TTime_M1", 6994, 4},
  };
  for (const SpotCheck& c : checks) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(has_id(c.name));
    const std::size_t i = index_by_name().at(c.name);
    EXPECT_EQ(i + 1, c.index);
    EXPECT_EQ(quorlin_points[i].offset, c.offset);
    EXPECT_EQ(quorlin_points[i].width, c.width);
  }
}

TEST(PointTable, widths_follow_the_table_not_the_name) {
  const std::pair<const char*, unsigned> cases[] = {
      {"t|D3G3_M41_HZ_PV", 2},  {"t|D3G5_M51_HZ_PV", 2},  {"t|D3G4_M211_HZ_PV", 4},
      {"t|D3G1_M63_HZ_PV", 4},  {"t|D3G3_M211_功率", 2},  {"t|D3G5_M214_电流", 2},
      {"t|D3G4_M41_功率", 4},   {"t|D3G5_M51_电流", 4},   {"t|D3G5_Working_Mode", 2},
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

TEST(PointTableIds, are_8_to_41_bytes_long) {
  std::map<std::size_t, std::set<std::string>> by_length;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    by_length[std::strlen(quorlin_points[i].name)].insert(id_of(i));
  }
  ASSERT_FALSE(by_length.empty());
  EXPECT_EQ(by_length.begin()->first, 8u);
  EXPECT_EQ(by_length.begin()->second, (std::set<std::string>{"t|D3_SB1", "t|D3_SB2"}));
  EXPECT_EQ(by_length.rbegin()->first, 41u);
  EXPECT_EQ(by_length.rbegin()->second, std::set<std::string>{"t|D3G蓄冷罐充放冷流量计实际值"});
}

TEST(PointTableIds, exactly_304_contain_non_ascii_characters) {
  std::size_t non_ascii = 0;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) non_ascii += is_ascii(id_of(i)) ? 0 : 1;
  EXPECT_EQ(non_ascii, 304u);
}

TEST(PointTableIds, chinese_ids_are_stored_as_their_utf8_bytes) {
  // Spelled with escapes so the check does not depend on how this file is decoded.
  const std::string expected =
      "t|D3G3_M11_\xE4\xBE\x9B\xE6\xB2\xB9\xE5\x8E\x8B\xE5\x8A\x9B";  // 供油压力
  EXPECT_EQ(expected.size(), 23u);
  EXPECT_EQ(id_of(1248), expected);
  EXPECT_EQ(std::strlen(quorlin_points[1248].name), 23u);
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

TEST(RecordLayout, every_field_lies_within_bytes_5_to_6997) {
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    EXPECT_GE(p.offset, 5u) << id_of(i);
    EXPECT_LE(p.offset + p.width - 1u, 6997u) << id_of(i);
  }
}

TEST(RecordLayout, only_bytes_4_1253_to_1255_and_6392_to_6393_are_never_written) {
  const auto writes = write_counts();
  std::vector<std::size_t> unwritten;
  for (std::size_t b = 0; b < kRecordSize; ++b) {
    if (writes[b] == 0) unwritten.push_back(b);
  }
  EXPECT_EQ(unwritten, (std::vector<std::size_t>{4, 1253, 1254, 1255, 6392, 6393}));
}

TEST(RecordLayout, only_6302_to_6303_and_6994_to_6997_are_written_twice) {
  const auto writes = write_counts();
  std::vector<std::size_t> twice;
  for (std::size_t b = 0; b < kRecordSize; ++b) {
    EXPECT_LE(writes[b], 2) << "byte " << b;
    if (writes[b] == 2) twice.push_back(b);
  }
  EXPECT_EQ(twice, (std::vector<std::size_t>{6302, 6303, 6994, 6995, 6996, 6997}));
}

TEST(RecordLayout, shared_bytes_pair_point_2510_with_2511_and_point_2706_with_the_stamp) {
  std::vector<std::pair<std::size_t, std::size_t>> sharing;
  for (std::size_t a = 0; a < kQuorlinPointCount; ++a) {
    for (std::size_t b = a + 1; b < kQuorlinPointCount; ++b) {
      if (fields_intersect(quorlin_points[a].offset, quorlin_points[a].width,
                           quorlin_points[b].offset, quorlin_points[b].width)) {
        sharing.emplace_back(a + 1, b + 1);
      }
    }
  }
  EXPECT_EQ(sharing, (std::vector<std::pair<std::size_t, std::size_t>>{{2510, 2511}}));
  // Point 2510 spans 6300..6303; 2511 overwrites only its upper half.
  EXPECT_EQ(quorlin_points[2509].offset, 6300u);
  EXPECT_EQ(quorlin_points[2510].offset, 6302u);

  std::vector<std::size_t> under_stamp;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (fields_intersect(quorlin_points[i].offset, quorlin_points[i].width,
                         offsetof(Quorlin_Data_t, stamp), sizeof(RoundStamp))) {
      under_stamp.push_back(i + 1);
    }
  }
  EXPECT_EQ(under_stamp, std::vector<std::size_t>{2706});
}

TEST(RecordLayout, four_byte_fields_from_6394_on_start_at_4k_plus_2) {
  std::size_t checked = 0;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    if (p.width == 4 && p.offset >= 6394) {
      EXPECT_EQ(p.offset % 4, 2u) << id_of(i);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 151u);
}

}  // namespace
