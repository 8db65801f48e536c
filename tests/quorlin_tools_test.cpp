// Parts of the quorlin command: display widths for the decoder's table, the
// reading of point fields out of a record, and the simulated plant.
#include "point_table.h"
#include "record_view.h"
#include "sim_model.h"
#include "text_width.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace {

std::size_t index_of(const std::string& name) {
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
    if (name == quorlin_points[i].name) return i;
  ADD_FAILURE() << "no point " << name;
  return 0;
}

}  // namespace

TEST(DisplayWidth, counts_cjk_as_two_columns_and_ascii_as_one) {
  EXPECT_EQ(display_width(""), 0u);
  EXPECT_EQ(display_width("t|D3_SB1"), 8u);
  EXPECT_EQ(display_width("t|D3G3_M11_供油压力"), 19u);  // 11 ASCII + 4 wide
  EXPECT_EQ(display_width("t|D3G蓄冷罐充放冷流量计实际值"), 5u + 12u * 2u);
  EXPECT_EQ(display_width("ｈ"), 2u);     // full-width Latin
  EXPECT_EQ(display_width("é"), 1u);      // precomposed
  EXPECT_EQ(display_width("e\xcc\x81"), 1u);  // e + combining acute
}

TEST(DisplayWidth, counts_each_byte_of_broken_utf8_as_one_column) {
  EXPECT_EQ(display_width("\xff"), 1u);
  EXPECT_EQ(display_width("\xe4\xbe"), 2u);        // truncated 3-byte sequence
  EXPECT_EQ(display_width("\xc0\x80"), 2u);        // overlong NUL
  EXPECT_EQ(display_width("\xed\xa0\x80"), 3u);    // UTF-16 surrogate
  EXPECT_EQ(display_width("a\xe4\xbe" "b"), 4u);   // the b after the broken part counts
}

TEST(DisplayWidth, pads_to_display_columns_and_never_cuts) {
  EXPECT_EQ(pad_right("供油", 6), "供油  ");
  EXPECT_EQ(pad_left("供油", 6), "  供油");
  EXPECT_EQ(pad_right("供油压力", 4), "供油压力");
  EXPECT_EQ(pad_left("12.5", 6), "  12.5");
}

class RecordView : public testing::Test {
 protected:
  RecordView() : record_(7001, 0) {}
  void put(std::size_t offset, std::vector<unsigned char> bytes) {
    std::memcpy(record_.data() + offset, bytes.data(), bytes.size());
  }
  std::vector<unsigned char> record_;
};

TEST_F(RecordView, decodes_each_width_from_its_own_offset) {
  put(5, {1});                        // t|D3G1_AI1_1_H_Alarm
  put(1252, {0xff});                  // t|D3G5_V9_status, the last one-byte point
  put(1256, {0x00, 0x00, 0x48, 0x41});  // t|D3G3_M11_供油压力 = 12.5f
  put(6304, {0x0c, 0xfe});            // t|D3G3_M51_HZ_PV = -500
  put(6394, {0xcd, 0xcc, 0xcc, 0x3d});  // t|D3G3_M41_功率 = 0.1f
  const auto rows = read_points(record_.data());
  ASSERT_EQ(rows.size(), kQuorlinPointCount);
  EXPECT_EQ(rows[0].value, 1.0);
  EXPECT_EQ(value_text(rows[index_of("t|D3G5_V9_status")]), "255");
  const PointReading& oil = rows[index_of("t|D3G3_M11_供油压力")];
  EXPECT_EQ(value_text(oil), "12.5");
  EXPECT_EQ(hex_bytes(oil, " "), "00 00 48 41");
  EXPECT_EQ(hex_bytes(oil, ""), "00004841");
  EXPECT_EQ(value_text(rows[index_of("t|D3G3_M51_HZ_PV")]), "-500");
  EXPECT_EQ(value_text(rows[index_of("t|D3G3_M41_功率")]), "0.1");  // shortest round trip
  EXPECT_EQ(value_text(rows[index_of("t|D3G3_M41_HZ_PV1")]), "0");
}

TEST_F(RecordView, shows_non_finite_floats_by_name) {
  const std::size_t i = index_of("t|D3G3_M41_功率");
  put(quorlin_points[i].offset, {0x00, 0x00, 0xc0, 0x7f});
  EXPECT_EQ(value_text(read_points(record_.data())[i]), "nan");
  put(quorlin_points[i].offset, {0x00, 0x00, 0x80, 0xff});
  EXPECT_EQ(value_text(read_points(record_.data())[i]), "-inf");
}

TEST_F(RecordView, flags_exactly_the_two_fields_that_later_writes_cover) {
  // Offsets 6300..6303: the float's low half, then the 16-bit 500 over its high half.
  put(6300, {0x00, 0x00, 0xf4, 0x01});
  const auto rows = read_points(record_.data());
  std::map<std::string, std::string> flagged;
  for (const PointReading& r : rows)
    if (!r.overwritten_by.empty()) flagged[r.point->name] = r.overwritten_by;
  EXPECT_EQ(flagged, (std::map<std::string, std::string>{
                         {"t|D3二层末端进水温度", "t|D3G3_M41_HZ_PV"},
                         {"t|D3G5_M214_TTime_M1", "the time stamp"}}));
  EXPECT_EQ(value_text(rows[index_of("t|D3G3_M41_HZ_PV")]), "500");
}

TEST(SimModel, reads_the_kind_of_quantity_from_the_node_name) {
  struct Case {
    const char* name;
    unsigned width;
    sim::Kind kind;
    sim::Type type;
  };
  const Case cases[] = {
      {"t|D3G1_AI1_1_H_Alarm", 1, sim::Kind::AlarmFlag, sim::Type::Boolean},
      {"t|D3G3_M11_Fault", 1, sim::Kind::AlarmFlag, sim::Type::Boolean},
      {"t|D3G3_V9_status", 1, sim::Kind::StatusByte, sim::Type::Byte},
      {"t|D3G1_M61_M_Start", 1, sim::Kind::CommandFlag, sim::Type::Boolean},
      {"t|D3G1_M61_Remote", 1, sim::Kind::OnFlag, sim::Type::Boolean},
      {"t|D3G1_M61_Run", 1, sim::Kind::StateFlag, sim::Type::Boolean},
      {"t|D3G3_M41_HZ_PV", 2, sim::Kind::Frequency, sim::Type::Int16},
      {"t|D3G3_M211_电流", 2, sim::Kind::Current, sim::Type::Int16},
      {"t|D3G3_M211_HZ_PV1", 4, sim::Kind::Frequency, sim::Type::Float},
      {"t|D3G3_M11_蒸发器出水温度", 4, sim::Kind::Temperature, sim::Type::Float},
      {"t|D3G3_M11_冷凝压力", 4, sim::Kind::Pressure, sim::Type::Float},
      {"t|D3M61供回水环路A压差值", 4, sim::Kind::DiffPressure, sim::Type::Float},
      {"t|D3G3_M211_TTime_H0", 4, sim::Kind::Counter, sim::Type::Float},
      {"t|D3G3_M11_压缩机启动次数", 4, sim::Kind::Counter, sim::Type::Float},
      {"t|D3G1_AI1_1_AlarmHH_Set", 4, sim::Kind::Setpoint, sim::Type::Float},
      {"t|D3冷塔出水温度设定", 4, sim::Kind::Setpoint, sim::Type::Float},
      {"t|D3NLG_16_1_瞬时流量", 4, sim::Kind::Flow, sim::Type::Float},
  };
  for (const Case& c : cases) {
    const sim::PointModel m = sim::classify(c.name, c.width);
    EXPECT_EQ(m.kind, c.kind) << c.name;
    EXPECT_EQ(m.type, c.type) << c.name;
  }
  // Chilled water is cold, condenser water warm.
  const auto chilled = sim::classify("t|D3G3_M11_蒸发器出水温度", 4);
  const auto condenser = sim::classify("t|D3G3_M11_冷凝器出水温度", 4);
  EXPECT_GE(chilled.lo, 4);
  EXPECT_LE(chilled.hi, 10);
  EXPECT_GE(condenser.lo, 25);
  EXPECT_LE(condenser.hi, 40);
  // Alarm limits keep their order.
  EXPECT_LT(sim::classify("t|D3G1_AI1_1_AlarmLL_Set", 4).lo, sim::classify("t|D3G1_AI1_1_AlarmL_Set", 4).lo);
  EXPECT_LT(sim::classify("t|D3G1_AI1_1_AlarmH_Set", 4).lo, sim::classify("t|D3G1_AI1_1_AlarmHH_Set", 4).lo);
}

TEST(SimModel, serves_every_point_with_a_type_of_its_field_width) {
  const sim::Plant plant(1);
  ASSERT_EQ(plant.size(), kQuorlinPointCount);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const sim::Type t = plant.model(i).type;
    switch (quorlin_points[i].width) {
      case 1: EXPECT_TRUE(t == sim::Type::Boolean || t == sim::Type::Byte) << quorlin_points[i].name; break;
      case 2: EXPECT_EQ(t, sim::Type::Int16) << quorlin_points[i].name; break;
      default: EXPECT_EQ(t, sim::Type::Float) << quorlin_points[i].name; break;
    }
  }
}

TEST(SimModel, an_hour_of_ticks_keeps_values_plausible) {
  sim::Plant plant(42);
  std::vector<double> start(plant.size()), previous(plant.size());
  for (std::size_t i = 0; i < plant.size(); ++i) start[i] = previous[i] = plant.value(i);
  std::size_t alarm_samples = 0, alarms_on = 0, drifting_changes = 0;
  bool some_state_changed = false;
  for (int second = 0; second < 3600; ++second) {
    plant.tick();
    for (std::size_t i = 0; i < plant.size(); ++i) {
      const sim::PointModel& m = plant.model(i);
      const double v = plant.value(i);
      const char* name = quorlin_points[i].name;
      switch (m.kind) {
        case sim::Kind::AlarmFlag:
          ++alarm_samples;
          alarms_on += v != 0;
          [[fallthrough]];
        case sim::Kind::CommandFlag:
        case sim::Kind::OnFlag:
        case sim::Kind::StateFlag:
          ASSERT_TRUE(v == 0 || v == 1) << name;
          some_state_changed = some_state_changed || (m.kind == sim::Kind::StateFlag && v != start[i]);
          break;
        case sim::Kind::StatusByte:
          ASSERT_TRUE(v >= 0 && v <= 3 && v == std::floor(v)) << name;
          break;
        case sim::Kind::Setpoint:
          ASSERT_EQ(v, start[i]) << name;
          break;
        case sim::Kind::Counter:
          // As served: a float that never goes down.
          ASSERT_GE(static_cast<float>(v), static_cast<float>(previous[i])) << name;
          break;
        default:
          ASSERT_GE(v, m.lo) << name;
          ASSERT_LE(v, m.hi) << name;
          if (m.type == sim::Type::Int16) {
            ASSERT_EQ(v, std::floor(v)) << name;
          }
          drifting_changes += v != previous[i];
          break;
      }
      previous[i] = v;
    }
  }
  EXPECT_TRUE(some_state_changed);
  EXPECT_GT(alarms_on, 0u);                      // alarms do come up now and then
  EXPECT_LT(alarms_on * 20, alarm_samples);      // but are off most of the time
  EXPECT_GT(drifting_changes, 3600u * 100u);     // analog values move every second
  for (std::size_t i = 0; i < plant.size(); ++i)
    if (plant.model(i).kind == sim::Kind::Counter && plant.model(i).hi >= 0.01) {
      EXPECT_GT(plant.value(i), start[i]) << "run-time counter did not grow: " << quorlin_points[i].name;
    }
}

TEST(SimModel, fixed_values_are_exact_in_their_type_and_differ_from_neighbours) {
  for (unsigned seed : {0u, 1u, 1000u}) {
    double previous = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const unsigned width = quorlin_points[i].width;
      const double v = sim::fixed_value(i, width, seed);
      if (width == 4) {
        ASSERT_EQ(static_cast<double>(static_cast<float>(v)), v);
      } else {
        const double lo = width == 1 ? 0 : -32768, hi = width == 1 ? 255 : 32767;
        ASSERT_TRUE(v >= lo && v <= hi && v == std::floor(v)) << i;
      }
      ASSERT_NE(v, previous) << i;
      previous = v;
    }
    EXPECT_NE(sim::fixed_value(0, 4, seed), sim::fixed_value(0, 4, seed + 1));
  }
}
