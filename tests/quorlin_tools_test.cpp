// Parts of the quorlin command: display widths for the decoder's table, the
// reading of point fields out of a record, the simulated plant and the
// controller check's classes and report.
#include "check_report.h"
#include "decimal.h"
#include "point_table.h"
#include "record.h"
#include "record_view.h"
#include "sim_model.h"
#include "text_width.h"
#include "value_copy.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
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

TEST(HistoryText, decimal_numbers_and_time_bounds_within_their_shape) {
  struct Case {
    const char* text;
    unsigned long long max;
    std::size_t digits;
    std::optional<unsigned long long> want;
  };
  constexpr auto kMost = std::numeric_limits<unsigned long long>::max();
  const Case cases[] = {
      {"0", 0, 20, 0ull},          {"7", 5, 20, std::nullopt},  // a digit above a small bound
      {"18446744073709551615", kMost, 20, kMost}, {"18446744073709551616", kMost, 20, std::nullopt},
      {"4294967296", 4294967295ull, 10, std::nullopt}, {"00000000001", 4294967295ull, 10, std::nullopt},
      {"+1", 9, 20, std::nullopt}, {" 1", 9, 20, std::nullopt}, {"", 9, 20, std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(parse_decimal(c.text, c.max, c.digits), c.want) << c.text;
  std::string out;
  EXPECT_TRUE(qrn_record::parse_time_bound("2026-01-02", true, out));
  EXPECT_EQ(out, "2026-01-02 23:59:59");
  EXPECT_TRUE(qrn_record::parse_time_bound("2026-01-02T03:04:05", false, out));
  EXPECT_EQ(out, "2026-01-02 03:04:05");
  EXPECT_FALSE(qrn_record::parse_time_bound("2026-1-02", false, out));
  EXPECT_EQ(qrn_record::local_time_text(0).size(), 19u);
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
  // The default plant moves as it always did from a seed: its values after
  // the hour, to the thousandth, summed plainly and weighted by index.
  long long sum = 0, weighted = 0;
  for (std::size_t i = 0; i < plant.size(); ++i) {
    const long long q = std::llround(plant.value(i) * 1000);
    sum += q;
    weighted += q * static_cast<long long>(i % 97);
  }
  EXPECT_EQ(sum, 33974386253);
  EXPECT_EQ(weighted, 1822344517794);
}

TEST(SimModel, a_steady_hour_moves_by_single_steps_of_the_resolution_and_flags_rarely) {
  sim::Plant plant(42, sim::Profile::Steady), again(42, sim::Profile::Steady);
  std::vector<double> previous(plant.size());
  std::vector<unsigned> changes(plant.size());
  for (std::size_t i = 0; i < plant.size(); ++i) previous[i] = plant.value(i);
  for (int second = 0; second < 3600; ++second) {
    plant.tick();
    again.tick();
    for (std::size_t i = 0; i < plant.size(); ++i) {
      const sim::PointModel& m = plant.model(i);
      const double v = plant.value(i), step = sim::resolution(m.kind, m.type);
      ASSERT_EQ(v, again.value(i)) << "not reproducible: " << quorlin_points[i].name;
      if (step > 0) {
        ASSERT_NEAR(v / step, std::round(v / step), 1e-6) << quorlin_points[i].name;
        ASSERT_TRUE(v >= m.lo && v <= m.hi) << quorlin_points[i].name;
        if (v != previous[i]) {
          ASSERT_NEAR(std::abs(v - previous[i]), step, 1e-6 * step) << quorlin_points[i].name;
        }
      }
      if (m.kind == sim::Kind::Counter) {
        ASSERT_EQ(v, std::floor(v)) << quorlin_points[i].name;
      }
      changes[i] += v != previous[i];
      previous[i] = v;
    }
  }
  // Each analog value moves, but by a step every two rounds of 5 s at most on
  // average; flags change about once an hour or less (the lively plant: 7 times).
  std::size_t flags = 0, flag_changes = 0;
  for (std::size_t i = 0; i < plant.size(); ++i) {
    const sim::PointModel& m = plant.model(i);
    if (sim::resolution(m.kind, m.type) > 0) {
      EXPECT_GE(changes[i], 1u) << quorlin_points[i].name;
      EXPECT_LE(changes[i], 3600u / 10 + 60) << quorlin_points[i].name;
    } else if (m.kind <= sim::Kind::StatusByte) {
      ++flags;
      flag_changes += changes[i];
    }
  }
  EXPECT_GT(flag_changes, 0u);
  EXPECT_LT(flag_changes, flags);
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

// quorlin check: classes of a read, status names, suggestions, the report.
namespace {

// A variant owned by the test: scalar, array of three, or empty.
struct Value {
  UA_Variant v;
  Value() { UA_Variant_init(&v); }
  Value(const void* scalar, int type) : Value() {
    UA_Variant_setScalarCopy(&v, scalar, &UA_TYPES[type]);
  }
  static Value array_of_three_floats() {
    Value out;
    const UA_Float f[3] = {1, 2, 3};
    UA_Variant_setArrayCopy(&out.v, f, 3, &UA_TYPES[UA_TYPES_FLOAT]);
    return out;
  }
  Value(Value&& o) noexcept : v(o.v) { UA_Variant_init(&o.v); }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  Value& operator=(Value&&) = delete;
  ~Value() { UA_Variant_clear(&v); }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

}  // namespace

TEST(CheckClassify, sorts_each_read_by_what_the_round_writes_into_the_field) {
  const UA_Float f = 12.5f;
  const UA_Double d = 12.5;
  const UA_Int32 i32 = 0x11223344;
  const UA_Int16 i16 = -2;
  const UA_Byte byte = 7;
  const UA_Boolean flag = true;
  const UA_DateTime when = 0;
  const UA_Double duration = 1.5;  // Duration: an alias of Double
  UA_String text = UA_STRING(const_cast<char*>("on"));
  using check::PointClass;
  struct Case {
    const char* what;
    Value value;
    unsigned width;
    UA_StatusCode status;
    PointClass cls;
    std::string detail;
  };
  Case cases[] = {
      {"float", Value(&f, UA_TYPES_FLOAT), 4, UA_STATUSCODE_GOOD, PointClass::Ok, ""},
      {"flag", Value(&flag, UA_TYPES_BOOLEAN), 1, UA_STATUSCODE_GOOD, PointClass::Ok, ""},
      {"uncertain byte", Value(&byte, UA_TYPES_BYTE), 1, UA_STATUSCODE_UNCERTAININITIALVALUE,
       PointClass::Uncertain, "UncertainInitialValue, value kept"},
      {"clamped float", Value(&f, UA_TYPES_FLOAT), 4, UA_STATUSCODE_GOODCLAMPED,
       PointClass::GoodWithInfo, "GoodClamped, value kept"},
      {"double", Value(&d, UA_TYPES_DOUBLE), 4, UA_STATUSCODE_GOOD, PointClass::Wider,
       "Double into 4 bytes: the low 4 bytes of the Double"},
      {"int32 on a byte", Value(&i32, UA_TYPES_INT32), 1, UA_STATUSCODE_GOOD, PointClass::Wider,
       "Int32 into 1 byte: the low byte of the Int32"},
      {"uncertain double", Value(&d, UA_TYPES_DOUBLE), 4, UA_STATUSCODE_UNCERTAININITIALVALUE,
       PointClass::Wider, "Double into 4 bytes: the low 4 bytes of the Double (UncertainInitialValue)"},
      {"duration", Value(&duration, UA_TYPES_DURATION), 2, UA_STATUSCODE_GOOD, PointClass::Wider,
       "Double into 2 bytes: the low 2 bytes of the Double"},
      {"int16 on 4", Value(&i16, UA_TYPES_INT16), 4, UA_STATUSCODE_GOOD, PointClass::Narrower,
       "Int16 into 4 bytes: its 2 bytes, the upper 2 bytes zero"},
      {"string", Value(&text, UA_TYPES_STRING), 4, UA_STATUSCODE_GOOD, PointClass::NotNumeric,
       "String: the field keeps its previous value"},
      {"date", Value(&when, UA_TYPES_DATETIME), 4, UA_STATUSCODE_GOOD, PointClass::NotNumeric,
       "DateTime: the field keeps its previous value"},
      {"array", Value::array_of_three_floats(), 4, UA_STATUSCODE_GOOD, PointClass::NotNumeric,
       "array of 3 Float: the field keeps its previous value"},
      {"empty", Value(), 2, UA_STATUSCODE_GOOD, PointClass::NotNumeric,
       "empty value: the field keeps its previous value"},
      {"unknown node", Value(), 4, UA_STATUSCODE_BADNODEIDUNKNOWN, PointClass::Missing, ""},
      {"bad with a value", Value(&f, UA_TYPES_FLOAT), 4, UA_STATUSCODE_BADOUTOFSERVICE,
       PointClass::Failed, "BadOutOfService"},
  };
  for (const Case& c : cases) {
    const check::PointCheck got = check::classify(5, c.width, c.status, c.value.v);
    EXPECT_EQ(got.index, 5u) << c.what;
    EXPECT_EQ(check::class_name(got.cls), std::string(check::class_name(c.cls))) << c.what;
    EXPECT_EQ(got.detail, c.detail) << c.what;
    // The class says whether the round writes the field: it must agree with the round's copy.
    unsigned char field[4] = {0xee, 0xee, 0xee, 0xee};
    const bool written =
        !UA_StatusCode_isBad(c.status) && copy_value_to_field(c.value.v, field, c.width);
    const bool kept = got.cls != PointClass::Missing && got.cls != PointClass::Failed &&
                      got.cls != PointClass::NotNumeric;
    EXPECT_EQ(written, kept) << c.what;
  }
  // "the low byte": what the round leaves in a 1-byte field from an Int32.
  unsigned char low = 0;
  ASSERT_TRUE(copy_value_to_field(cases[5].value.v, &low, 1));
  EXPECT_EQ(low, 0x44);
}

TEST(CheckStatusName, names_codes_and_shows_info_bits_and_unknown_codes_in_hex) {
  EXPECT_EQ(check::status_name(UA_STATUSCODE_GOOD), "Good");
  EXPECT_EQ(check::status_name(UA_STATUSCODE_BADNODEIDUNKNOWN), "BadNodeIdUnknown");
  EXPECT_EQ(check::status_name(UA_STATUSCODE_GOODCLAMPED | 0x0400), "GoodClamped+0x0400");
  EXPECT_EQ(check::status_name(0x7ABC0000), "0x7ABC0000");
  // A code with only info bits is Good with info, not Good.
  EXPECT_EQ(check::status_name(0x00000400), "Good+0x0400");
}

TEST(CheckSuggestion, compares_characters_not_bytes_and_suggests_only_close_ids) {
  const auto cp = [](const char* s) { return code_points(s); };
  const auto bytes = [](const std::string& s) { return std::u32string(s.begin(), s.end()); };
  // 充 and 冲 share their first UTF-8 byte only: one character, two bytes apart.
  EXPECT_EQ(check::edit_distance(cp("t|D3G蓄冷罐充放冷"), cp("t|D3G蓄冷罐冲放冷"), 10), 1u);
  EXPECT_EQ(check::edit_distance(bytes("充"), bytes("冲"), 10), 2u);
  EXPECT_EQ(check::edit_distance(cp("t|D3G3_V9_status"), cp("t|D3G3_V9_1_status"), 10), 2u);
  EXPECT_EQ(check::edit_distance(cp("kitten"), cp("sitting"), 10), 3u);
  EXPECT_EQ(check::edit_distance(cp("kitten"), cp("sitting"), 2), 3u);  // over the limit: limit+1
  EXPECT_EQ(check::edit_distance(cp(""), cp("abc"), 1), 2u);
  EXPECT_EQ(code_points("a\xe4\xbe" "b"), (std::u32string{U'a', 0xDCE4, 0xDCBE, U'b'}));

  const std::vector<std::string> server = {"t|D3G3_V9_2_status", "t|D3G3_V9_1_status",
                                           "t|D3G蓄冷罐冲放冷流量计实际值", "t|D3XLG9_T1"};
  EXPECT_EQ(check::closest("t|D3G3_V9_status", server), std::optional<std::size_t>(0))
      << "ties go to the earlier id";
  EXPECT_EQ(check::closest("t|D3G蓄冷罐充放冷流量计实际值", server), std::optional<std::size_t>(2));
  EXPECT_EQ(check::closest("t|D3XLG9_T2", server), std::optional<std::size_t>(3));
  EXPECT_EQ(check::closest("t|D3G1_AI1_1_L_Alarm", server), std::nullopt);
  EXPECT_EQ(check::closest("t|D3G3_V9_status", {}), std::nullopt);
  // Two ASCII characters off against one CJK character off: two bytes each,
  // so only counting characters prefers the second.
  EXPECT_EQ(check::closest("t|D3G蓄冷罐充放冷流量计实际值",
                           {"t|E4G蓄冷罐充放冷流量计实际值", "t|D3G蓄冷罐冲放冷流量计实际值"}),
            std::optional<std::size_t>(1));
}

TEST(CheckSuggestion, a_capped_lookup_starts_beside_the_name_and_says_it_stopped) {
  // A look-alike that sorts beside the name, a closer one beyond many others.
  std::vector<std::string> server;
  for (int k = 0; k < 3000; ++k) server.push_back("m" + std::to_string(k));
  server.push_back("a|D3G1_AI1_1_H_Alarm");
  server.push_back("t|D3G1_AI1_1_H_Alarm~7");
  const check::SuggestionIndex index(server);
  bool complete = true;
  EXPECT_EQ(index.closest("t|D3G1_AI1_1_H_Alarm", 5, complete), std::optional<std::size_t>(3001));
  EXPECT_FALSE(complete);
  EXPECT_EQ(index.closest("t|D3G1_AI1_1_H_Alarm", server.size(), complete),
            std::optional<std::size_t>(3000));
  EXPECT_TRUE(complete);

  check::Report r;
  for (std::size_t i = 0; i < 3; ++i) r.points.push_back({i, check::PointClass::Missing, "", "", "", "", false});
  r.browse.ran = true;
  r.browse.extra = server;
  check::suggest(r);
  EXPECT_EQ(r.browse.points_not_all_compared, 0u);  // 3 points share the budget: no cap
  EXPECT_EQ(r.points[0].suggestion, "a|D3G1_AI1_1_H_Alarm");
  EXPECT_EQ(check::text(r).find("more not compared"), std::string::npos);
}

TEST(CheckReport, all_ok_is_the_summary_alone_and_the_json_says_so) {
  check::Report r;
  r.endpoint = "opc.tcp://[::1]:4840";
  // The server's own words cannot add a line or reach the terminal raw.
  r.server.application_name = "plant\ndevice 4242 round 1 data 5156\x1b[2J";
  r.server.max_nodes_per_read = 500;
  const UA_Float f = 1;
  const Value v(&f, UA_TYPES_FLOAT);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
    r.points.push_back(check::classify(i, 4, UA_STATUSCODE_GOOD, v.v));
  const std::vector<std::string> lines = lines_of(check::text(r));
  ASSERT_EQ(lines.size(), 6u) << check::text(r);
  EXPECT_EQ(lines[0], "endpoint  opc.tcp://[::1]:4840");
  EXPECT_EQ(lines[1], "server    plant\\x0adevice 4242 round 1 data 5156\\x1b[2J");
  EXPECT_EQ(lines[2], "limits    MaxNodesPerRead 500");
  EXPECT_EQ(lines[3], "points    2706 read: 2706 ok");
  EXPECT_EQ(lines[5], "browse    not done (--no-browse)");
  EXPECT_TRUE(check::all_ok(r));
  const Json::Value j = check::json(r);
  EXPECT_TRUE(j["ok"].asBool());
  EXPECT_EQ(j["counts"]["ok"].asUInt(), 2706u);
  EXPECT_EQ(j["problems"].size(), 0u);
  EXPECT_TRUE(j["browse"].isNull());
}

TEST(CheckReport, problems_group_by_class_sort_by_index_and_align_by_display_width) {
  check::Report r;
  r.endpoint = "opc.tcp://127.0.0.1:4840";
  const UA_Float f = 1;
  const UA_Double d = 1;
  const Value ok(&f, UA_TYPES_FLOAT), wide(&d, UA_TYPES_DOUBLE), none;
  const std::size_t cjk = index_of("t|D3G蓄冷罐充放冷流量计实际值");
  const std::size_t v9 = index_of("t|D3G3_V9_status");
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    UA_StatusCode st = UA_STATUSCODE_GOOD;
    const Value* value = &ok;
    if (i == 2000 || i == 30) value = &wide;
    if (i == cjk || i == v9 || i == 7) st = UA_STATUSCODE_BADNODEIDUNKNOWN, value = &none;
    r.points.push_back(check::classify(i, 4, st, value->v));
  }
  r.browse.ran = true;
  r.browse.variables = 2706;
  r.browse.extra = {"t|D3G3_V9_1_status", "t|D3G蓄冷罐冲放冷流量计实际值"};
  check::suggest(r);
  EXPECT_FALSE(check::all_ok(r));

  const std::vector<std::string> lines = lines_of(check::text(r));
  // Summary, a blank line, the problems, a blank line, the server-only ids.
  ASSERT_EQ(lines.size(), 6u + 1u + 5u + 1u + 3u) << check::text(r);
  EXPECT_EQ(lines[3], "points    2706 read: 2701 ok, 3 missing, 2 wider");
  const std::vector<std::string> problems(lines.begin() + 7, lines.begin() + 12);
  const std::vector<std::pair<std::string, std::size_t>> order = {
      {"missing", 7}, {"missing", v9}, {"missing", cjk}, {"wider", 30}, {"wider", 2000}};
  std::size_t detail_column = 0;
  for (std::size_t k = 0; k < problems.size(); ++k) {
    const std::string& line = problems[k];
    const std::string name = quorlin_points[order[k].second].name;
    EXPECT_EQ(line.rfind(order[k].first, 0), 0u) << line;
    EXPECT_NE(line.find(" " + std::to_string(order[k].second + 1) + "  " + name), std::string::npos)
        << line;
    // Details start in one display column, whatever the names' characters.
    const std::size_t name_end = line.find(name) + name.size();
    const std::size_t detail = line.find_first_not_of(' ', name_end);
    const std::size_t column = display_width(line.substr(0, detail));
    if (k == 0) detail_column = column;
    EXPECT_EQ(column, detail_column) << line;
  }
  EXPECT_NE(problems[1].find("— server has t|D3G3_V9_1_status"), std::string::npos);
  EXPECT_NE(problems[2].find("— server has t|D3G蓄冷罐冲放冷流量计实际值"), std::string::npos);
  EXPECT_NE(problems[0].find("— nothing similar on the server"), std::string::npos);

  const Json::Value j = check::json(r);
  ASSERT_EQ(j["problems"].size(), order.size());
  for (Json::ArrayIndex k = 0; k < j["problems"].size(); ++k) {
    EXPECT_EQ(j["problems"][k]["class"].asString(), order[k].first);
    EXPECT_EQ(j["problems"][k]["index"].asUInt64(), order[k].second + 1);
  }
  EXPECT_EQ(j["problems"][1]["suggestion"].asString(), "t|D3G3_V9_1_status");
  EXPECT_TRUE(j["problems"][0]["suggestion"].isNull());
  EXPECT_EQ(j["counts"]["missing"].asUInt(), 3u);
  EXPECT_EQ(j["browse"]["not_in_table"].size(), 2u);
  EXPECT_FALSE(j["ok"].asBool());
}
