// Sparkplug B payloads: what the edge node publishes, read back as a
// subscriber would, and a device's record rebuilt from them.
#include "point_table.h"
#include "record.h"
#include "round_report.h"
#include "sparkplug_payload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <utility>

using namespace sparkplug;

namespace {

constexpr uint64_t kNow = 1'790'000'000'123;
// 2026-03-04 05:06:07 at UTC+8 is 2026-03-03 21:06:07 UTC.
constexpr uint64_t kRoundMs = 1'772'571'967'000;

class SparkplugRecord : public testing::Test {
 protected:
  static constexpr const char* kUnitZone = "XST-8";  // UTC+8, no time zone files needed
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  void SetUp() override {
    zone(kUnitZone);
    // As a round writes it: fields in table order, varied bytes (one-byte
    // fields 0, 1 and 2, negative 16-bit values), then the stamp.
    record_.assign(qrn_record::kSize, 0);
    record_[0] = 42;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const QuorlinPoint& p = quorlin_points[i];
      for (std::size_t b = 0; b < p.width; ++b)
        record_[p.offset + b] = static_cast<unsigned char>(p.width == 1 ? i % 3 : i * 7 + b * 13);
    }
    set(index_of("t|D3G3_M41_功率"), {0x01, 0x00, 0x80, 0x7f});  // a signalling NaN
    set(index_of("t|D3G3_M51_HZ_PV"), {0x0c, 0xfe});             // -500
    const unsigned char stamp[7] = {0xea, 0x07, 3, 4, 5, 6, 7};
    std::memcpy(record_.data() + qrn_record::kStampOffset, stamp, 7);
  }
  static std::size_t index_of(const char* name) {
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      if (std::strcmp(quorlin_points[i].name, name) == 0) return i;
    return kQuorlinPointCount;
  }
  void set(std::size_t i, std::vector<unsigned char> bytes) {
    std::memcpy(record_.data() + quorlin_points[i].offset, bytes.data(), bytes.size());
  }
  static Payload decoded(const Bytes& bytes) {
    Payload p;
    EXPECT_TRUE(decode_payload(bytes.data(), bytes.size(), p));
    return p;
  }
  // Applies a payload to `image`, as a subscriber in another time zone
  // would, and expects it to equal the record.
  void expect_rebuilt(const Payload& p, std::vector<unsigned char>& image) {
    std::string error;
    zone("UTC0");
    const bool applied = apply_to_record(p, 42, image.data(), error);
    zone(kUnitZone);
    ASSERT_TRUE(applied) << error;
    const auto differ = std::mismatch(image.begin(), image.end(), record_.begin(), record_.end());
    EXPECT_EQ(differ.first - image.begin(), 7001) << "first difference";
  }
  std::vector<unsigned char> record_;
};

TEST_F(SparkplugRecord, birth_then_data_rebuild_the_record_byte_for_byte) {
  EXPECT_EQ(round_time_ms(record_.data()), kRoundMs);
  const Payload birth = decoded(device_birth(kNow, 3, 42, record_.data(), 41, nullptr));
  EXPECT_EQ(birth.seq, 3u);
  EXPECT_EQ(birth.timestamp, kNow);
  ASSERT_EQ(birth.metrics.size(), kQuorlinPointCount + 2);
  const Metric* round = birth.metric("Round/Time");
  ASSERT_NE(round, nullptr);
  EXPECT_EQ(round->alias, alias(42, kRoundTimeNumber));
  EXPECT_EQ(round->datatype, datatype::DateTime);
  EXPECT_EQ(round->number, kRoundMs);
  const Metric* number = birth.metric("Round/Seq");
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number, round_seq_metric(birth));
  EXPECT_EQ(number->alias, alias(42, kRoundSeqNumber));
  EXPECT_EQ(number->datatype, datatype::UInt64);
  EXPECT_EQ(number->number, 41u);
  const Metric& first = birth.metrics[2];
  EXPECT_EQ(first.name, quorlin_points[0].name);
  EXPECT_EQ(first.alias, 42u << 12 | 1);  // numbered from 1 as `quorlin points` lists them
  EXPECT_EQ(first.timestamp, kRoundMs);
  // Signed values travel sign-extended in the 32-bit member.
  EXPECT_EQ(birth.metrics[index_of("t|D3G3_M51_HZ_PV") + 2].number, uint32_t(-500));
  std::map<uint32_t, int> types;
  std::map<std::string, std::string> overwritten;
  std::vector<std::string> null;
  for (const Metric& m : birth.metrics) {
    ++types[m.datatype];
    if (const Property* p = m.property("Overwritten By")) overwritten[m.name] = p->text;
    if (m.is_null) null.push_back(m.name + (m.property("Raw") ? " raw" : ""));
  }
  // Neither partly covered field goes out as a value; the float's own half
  // travels raw so the record still comes back whole.
  EXPECT_EQ(null, (std::vector<std::string>{"t|D3二层末端进水温度 raw", "t|D3G5_M214_TTime_M1"}));
  EXPECT_EQ(types, (std::map<uint32_t, int>{{datatype::Int16, 45},
                                            {datatype::Float, 1413},
                                            {datatype::Boolean, 1248},
                                            {datatype::DateTime, 1},
                                            {datatype::UInt64, 1}}));
  EXPECT_EQ(overwritten,
            (std::map<std::string, std::string>{{"t|D3二层末端进水温度", "t|D3G3_M41_HZ_PV"},
                                                {"t|D3G5_M214_TTime_M1", "Round/Time"}}));
  std::vector<unsigned char> image(qrn_record::kSize, 0);
  expect_rebuilt(birth, image);

  // The next round: the 16-bit point over the float's high half and a
  // one-byte point change, and the stamp moves a day on.
  DeviceState state;
  remember(state, record_.data(), nullptr);
  const std::vector<unsigned char> before = record_;
  set(index_of("t|D3G3_M41_HZ_PV"), {0x34, 0x12});
  set(0, {1});
  record_[qrn_record::kStampOffset + 3] = 5;
  const Payload data = decoded(device_data(kNow, 4, 42, record_.data(), 42, nullptr, false, state));
  std::vector<std::string> sent;
  for (const Metric& m : data.metrics) {
    sent.push_back(m.name + "#" + std::to_string(m.alias & 0xfff));  // aliases alone
    EXPECT_EQ(m.alias >> 12, 42u);
    EXPECT_EQ(m.property("Overwritten By"), nullptr) << "said in the birth only";
  }
  // The covered fields' own bytes did not change: they are not sent again.
  EXPECT_EQ(sent, (std::vector<std::string>{"#2707", "#2708", "#1", "#2511"}));
  ASSERT_NE(round_time_metric(data), nullptr);
  EXPECT_EQ(round_time_metric(data)->number, kRoundMs + 86'400'000);
  ASSERT_NE(round_seq_metric(data), nullptr);
  EXPECT_EQ(round_seq_metric(data)->number, 42u);
  EXPECT_EQ(state.record, record_);
  image = before;
  expect_rebuilt(data, image);
}

TEST_F(SparkplugRecord, a_device_without_a_record_is_born_null_and_its_first_data_carry_all) {
  const Payload birth = decoded(device_birth(kNow, 1, 42, nullptr, 0, nullptr));
  ASSERT_EQ(birth.metrics.size(), kQuorlinPointCount + 2);
  std::set<uint64_t> born;
  for (const Metric& m : birth.metrics) {
    born.insert(m.alias);
    EXPECT_TRUE(m.is_null) << m.name;
    EXPECT_NE(m.datatype, 0u) << m.name;
    EXPECT_EQ(m.timestamp, kNow) << m.name;
    EXPECT_EQ(m.property("Raw"), nullptr) << m.name;
    EXPECT_EQ(m.property("Quality"), nullptr) << m.name;
  }
  DeviceState state;
  remember(state, nullptr, nullptr);
  EXPECT_TRUE(state.record.empty());
  const Payload data = decoded(device_data(kNow, 2, 42, record_.data(), 1, nullptr, false, state));
  EXPECT_EQ(data.metrics.size(), kQuorlinPointCount + 2);
  for (const Metric& m : data.metrics) EXPECT_EQ(born.count(m.alias), 1u) << "not in the birth: " << m.alias;
}

TEST_F(SparkplugRecord, data_carry_changed_statuses_and_quality_until_good_again) {
  qrn_report::RoundReport report;
  report.statuses.assign(kQuorlinPointCount, 0);
  report.statuses[2] = 0x80340000;   // BadNodeIdUnknown: Bad
  report.statuses[9] = 0x40000000;   // Uncertain: Stale
  report.statuses[11] = 0x00A70000;  // Good with info bits
  report.statuses[13] = 0x80AE0000;  // BadConnectionClosed: the last value, Stale
  report.statuses[14] = 0x800A0400;  // BadTimeout with info bits: Stale
  DeviceState state;
  remember(state, record_.data(), nullptr);
  using Sent = std::pair<int64_t, int64_t>;  // Quality, OPC UA Status; -1 absent
  auto sent_by_number = [&](bool historical) {
    const Payload p = decoded(device_data(kNow, 1, 42, record_.data(), 42, &report, historical, state));
    std::map<uint64_t, Sent> out;
    for (const Metric& m : p.metrics) {
      EXPECT_EQ(m.historical, historical);
      EXPECT_EQ(m.timestamp, kRoundMs);
      const Property* q = m.property("Quality");
      const Property* s = m.property("OPC UA Status");
      if (q) {
        EXPECT_EQ(q->type, datatype::Int32);
      }
      if (s) {
        EXPECT_EQ(s->type, datatype::UInt32);
      }
      if ((m.alias & 0xfff) != kRoundTimeNumber && (m.alias & 0xfff) != kRoundSeqNumber)
        out[m.alias & 0xfff] = {q ? static_cast<int64_t>(q->number) : -1,
                                s ? static_cast<int64_t>(s->number) : -1};
    }
    return out;
  };
  EXPECT_EQ(sent_by_number(true), (std::map<uint64_t, Sent>{{3, {0, 0x80340000}},
                                                           {10, {500, 0x40000000}},
                                                           {12, {192, 0x00A70000}},
                                                           {14, {500, 0x80AE0000}},
                                                           {15, {500, 0x800A0400}}}));
  report.statuses[2] = 0;
  EXPECT_EQ(sent_by_number(false), (std::map<uint64_t, Sent>{{3, {192, -1}}}));
  EXPECT_EQ(sent_by_number(false), (std::map<uint64_t, Sent>{}));
  // A birth names every point not plain Good, and no other.
  const Payload birth = decoded(device_birth(kNow, 0, 42, record_.data(), 41, &report));
  const Property* uncertain = birth.metrics[11].property("OPC UA Status");
  ASSERT_NE(uncertain, nullptr);
  EXPECT_EQ(uncertain->number, 0x40000000u);
  EXPECT_EQ(birth.metrics[11].property("Quality")->number, 500u);
  EXPECT_EQ(birth.metrics[4].property("Quality"), nullptr);
}

TEST_F(SparkplugRecord, a_metric_that_fits_no_field_is_refused_by_name) {
  Payload p = decoded(device_birth(kNow, 0, 42, record_.data(), 41, nullptr));
  p.metrics[2].kind = ValueKind::String;
  std::vector<unsigned char> image(qrn_record::kSize, 0);
  std::string error;
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 172033: value does not fit the point's field");
  p.metrics[2].alias = alias(42, kRoundSeqNumber + 1);
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 174741: no such point");
  p.metrics[2].alias = alias(43, 1);  // another device's
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 176129: no such point");
  p.metrics[2].kind = ValueKind::Boolean;
  p.metrics[2].properties = {Property{"Raw", datatype::UInt8, ValueKind::Int, 256, 0, ""}};
  p.metrics[2].alias = 1;  // the number alone, as before aliases held the device
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 1: value does not fit the point's field");
}

// Points typed as the controller served them: a birth says each type and
// value, and rebuilds the record byte for byte; replayed data keep the types.
TEST_F(SparkplugRecord, points_go_out_as_the_type_served) {
  const std::size_t u32 = 1300, i32 = 1301, i16_in_4 = 1302, dbl_in_4 = 1303, never = 1304,
                    byte = 5, u16 = index_of("t|D3G3_M51_HZ_PV");
  set(u32, {0xf2, 0xa7, 0x17, 0x29});  // 689416178
  set(i32, {0xf9, 0xff, 0xff, 0xff});  // -7
  set(i16_in_4, {0x0c, 0xfe, 0, 0});   // -500, zero-filled
  set(byte, {23});
  qrn_report::RoundReport report;
  report.statuses.assign(kQuorlinPointCount, 0);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const std::size_t w = quorlin_points[i].width;
    report.types.push_back(w == 1 ? qrn_report::builtin::Boolean
                                  : w == 2 ? qrn_report::builtin::Int16 : qrn_report::builtin::Float);
  }
  report.types[u32] = qrn_report::builtin::UInt32;
  report.types[i32] = qrn_report::builtin::Int32;
  report.types[i16_in_4] = qrn_report::builtin::Int16;
  report.types[dbl_in_4] = qrn_report::builtin::Double;
  report.types[never] = qrn_report::builtin::None;
  report.types[byte] = qrn_report::builtin::Byte;
  report.types[u16] = qrn_report::builtin::UInt16;
  const Payload birth = decoded(device_birth(kNow, 0, 42, record_.data(), 41, &report));
  struct Expected {
    std::size_t point;
    uint32_t datatype;
    ValueKind kind;  // None: is_null
    uint64_t number;
    const char* property;  // besides the value; null: none
  };
  const Expected cases[] = {
      {u32, datatype::UInt32, ValueKind::Long, 689416178, nullptr},
      {i32, datatype::Int32, ValueKind::Int, uint32_t(-7), nullptr},
      {i16_in_4, datatype::Int16, ValueKind::Int, uint32_t(-500), "Raw"},
      {dbl_in_4, datatype::Double, ValueKind::None, 0, "Cut To Bytes"},
      {never, datatype::Float, ValueKind::None, 0, "Raw"},
      {byte, datatype::UInt8, ValueKind::Int, 23, nullptr},
      {u16, datatype::UInt16, ValueKind::Int, 0xfe0c, nullptr},
  };
  for (const Expected& c : cases) {
    const Metric& m = birth.metrics[c.point + 2];
    SCOPED_TRACE(m.name);
    EXPECT_EQ(m.datatype, c.datatype);
    EXPECT_EQ(m.is_null, c.kind == ValueKind::None);
    EXPECT_EQ(m.kind, c.kind);
    if (c.kind != ValueKind::None) {
      EXPECT_EQ(m.number, c.number);
    }
    if (c.property) {
      EXPECT_NE(m.property(c.property), nullptr);
    } else {
      EXPECT_TRUE(m.properties.empty());
    }
  }
  std::vector<unsigned char> image(qrn_record::kSize, 0);
  expect_rebuilt(birth, image);

  // A type that changes needs a birth again; a point first read as the type
  // its width gave it does not.
  DeviceState born;
  remember(born, record_.data(), &report);
  EXPECT_FALSE(types_changed(born, &report));
  EXPECT_FALSE(types_changed(born, nullptr));
  qrn_report::RoundReport next = report;
  next.types[never] = qrn_report::builtin::Float;
  EXPECT_FALSE(types_changed(born, &next));
  next.types[byte] = qrn_report::builtin::Boolean;
  EXPECT_TRUE(types_changed(born, &next));

  // A replayed record has no report: typed as the birth said.
  DeviceState replay;
  replay.types = born.types;
  const Payload data = decoded(device_data(kNow, 1, 42, record_.data(), 42, nullptr, true, replay));
  ASSERT_EQ(data.metrics.size(), kQuorlinPointCount + 2);
  EXPECT_EQ(data.metrics[u32 + 2].kind, ValueKind::Long);
  EXPECT_TRUE(data.metrics[never + 2].is_null);
  EXPECT_EQ(data.metrics[dbl_in_4 + 2].property("Cut To Bytes"), nullptr) << "said in the birth";
}

// Births of two devices share no alias; the node's metrics carry none.
TEST_F(SparkplugRecord, aliases_are_unique_across_devices_and_the_node) {
  std::set<uint64_t> aliases;
  for (const uint32_t device : {7u, 8u, 0xffffffffu}) {
    const Payload birth = decoded(device_birth(kNow, 0, device, record_.data(), 41, nullptr));
    for (const Metric& m : birth.metrics) {
      EXPECT_TRUE(m.has_alias);
      EXPECT_TRUE(aliases.insert(m.alias).second) << m.name << " of device " << device;
    }
  }
  EXPECT_EQ(aliases.size(), 3 * (kQuorlinPointCount + 2));
  for (const Metric& m : decoded(node_birth(kNow, 1)).metrics) EXPECT_FALSE(m.has_alias) << m.name;
}

// Compressed births read back whole, by either algorithm; a payload that
// compression would not shrink stays as it is.
TEST_F(SparkplugRecord, compressed_births_read_back_whole) {
  const Bytes plain = device_birth(kNow, 9, 42, record_.data(), 41, nullptr);
  for (const auto& c : {std::make_pair(Compression::Deflate, "DEFLATE"),
                        std::make_pair(Compression::Gzip, "GZIP")}) {
    SCOPED_TRACE(c.second);
    Bytes packed = compressed(plain, c.first);
    EXPECT_LT(packed.size() * 4, plain.size());
    const Payload p = decoded(packed);
    EXPECT_EQ(p.compression, c.second);
    EXPECT_EQ(p.seq, 9u);
    EXPECT_EQ(p.timestamp, kNow);
    ASSERT_EQ(p.metrics.size(), kQuorlinPointCount + 2);
    std::vector<unsigned char> image(qrn_record::kSize, 0);
    expect_rebuilt(p, image);
    packed[packed.size() - 40] ^= 0xff;  // inside the body
    Payload broken;
    EXPECT_FALSE(decode_payload(packed.data(), packed.size(), broken));
  }
  const Bytes death = device_death(kNow, 3);
  EXPECT_EQ(compressed(death, Compression::Gzip), death);
}

// Round reports with the points' types, and those from before them.
TEST(RoundReport, types_travel_in_version_2_and_version_1_still_reads) {
  qrn_report::RoundReport report;
  report.device_id = 7;
  report.statuses.assign(kQuorlinPointCount, 0);
  report.statuses[4] = 0x80340000;
  report.types.assign(kQuorlinPointCount, qrn_report::builtin::Float);
  report.types[0] = qrn_report::builtin::None;
  report.types[kQuorlinPointCount - 1] = qrn_report::builtin::Double;
  std::vector<unsigned char> bytes = qrn_report::encode(report);
  EXPECT_EQ(bytes[0], 2);
  qrn_report::RoundReport back;
  ASSERT_TRUE(qrn_report::decode(bytes.data(), bytes.size(), back));
  EXPECT_EQ(back.types, report.types);
  EXPECT_EQ(back.statuses, report.statuses);
  // A version-2 header too short for its type table is refused.
  bytes[2] = 36;
  bytes[3] = 0;
  bytes.resize(36 + 8 + kQuorlinPointCount);
  EXPECT_FALSE(qrn_report::decode(bytes.data(), bytes.size(), back));
  report.types.clear();
  bytes = qrn_report::encode(report);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes.size(), 36 + 8 + kQuorlinPointCount);
  ASSERT_TRUE(qrn_report::decode(bytes.data(), bytes.size(), back));
  EXPECT_TRUE(back.types.empty());
  EXPECT_EQ(back.statuses, report.statuses);
}

TEST(SparkplugNode, birth_and_death_carry_bd_seq_and_only_birth_a_seq) {
  Payload birth, death;
  const Bytes b = node_birth(kNow, 7), d = node_death(7);
  ASSERT_TRUE(decode_payload(b.data(), b.size(), birth));
  ASSERT_TRUE(decode_payload(d.data(), d.size(), death));
  EXPECT_TRUE(birth.has_seq);
  EXPECT_EQ(birth.seq, 0u);
  EXPECT_EQ(birth.timestamp, kNow);
  ASSERT_EQ(birth.metrics.size(), 2u);
  EXPECT_EQ(birth.metric("bdSeq")->datatype, datatype::Int64);
  EXPECT_EQ(birth.metric("bdSeq")->number, 7u);
  const Metric* rebirth = birth.metric("Node Control/Rebirth");
  ASSERT_NE(rebirth, nullptr);
  EXPECT_EQ(rebirth->kind, ValueKind::Boolean);
  EXPECT_EQ(rebirth->number, 0u);
  EXPECT_FALSE(death.has_seq);
  ASSERT_EQ(death.metrics.size(), 1u);
  EXPECT_EQ(death.metrics[0].name, "bdSeq");
  EXPECT_EQ(death.metrics[0].number, 7u);
  const unsigned char stamp_feb30[7] = {0xea, 0x07, 2, 30, 0, 0, 0};
  std::vector<unsigned char> bad(qrn_record::kSize, 0);
  std::memcpy(bad.data() + qrn_record::kStampOffset, stamp_feb30, 7);
  EXPECT_EQ(round_time_ms(bad.data()), 0u);
}

// An NCMD of one metric: name, datatype and boolean value, as protobuf bytes.
Bytes command(const std::string& name, bool value) {
  std::string metric = "\x0a" + std::string(1, static_cast<char>(name.size())) + name;
  metric += std::string("\x20\x0b\x70", 3) + static_cast<char>(value);
  const std::string payload = "\x12" + std::string(1, static_cast<char>(metric.size())) + metric;
  return Bytes(payload.begin(), payload.end());
}

TEST(SparkplugNode, commands_are_rebirth_other_or_refused) {
  struct Case {
    Bytes bytes;
    Command command;
    std::string what;
  };
  const Case cases[] = {
      {command("Node Control/Rebirth", true), Command::Rebirth, "Node Control/Rebirth"},
      {command("Node Control/Rebirth", false), Command::Other, "Node Control/Rebirth not true"},
      {command("Node Control/Reboot", true), Command::Other, "Node Control/Reboot"},
      {Bytes(kMaxCommandBytes + 1, 0), Command::Invalid,
       "a payload of 65537 bytes, over the 65536 taken"},
      {Bytes{0x12, 0x40, 0x0a}, Command::Invalid, "a payload that is not Sparkplug B"},
  };
  for (const Case& c : cases) {
    std::string what;
    EXPECT_EQ(decode_node_command(c.bytes.data(), c.bytes.size(), what), c.command) << c.what;
    EXPECT_EQ(what, c.what);
  }
}

}  // namespace
