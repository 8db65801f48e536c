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
  const Payload birth = decoded(device_birth(kNow, 3, record_.data(), 41, nullptr));
  EXPECT_EQ(birth.seq, 3u);
  EXPECT_EQ(birth.timestamp, kNow);
  ASSERT_EQ(birth.metrics.size(), kQuorlinPointCount + 2);
  const Metric* round = birth.metric("Round/Time");
  ASSERT_NE(round, nullptr);
  EXPECT_EQ(round->alias, kRoundTimeAlias);
  EXPECT_EQ(round->datatype, datatype::DateTime);
  EXPECT_EQ(round->number, kRoundMs);
  const Metric* number = birth.metric("Round/Seq");
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number, round_seq_metric(birth));
  EXPECT_EQ(number->alias, kRoundSeqAlias);
  EXPECT_EQ(number->datatype, datatype::UInt64);
  EXPECT_EQ(number->number, 41u);
  const Metric& first = birth.metrics[2];
  EXPECT_EQ(first.name, quorlin_points[0].name);
  EXPECT_EQ(first.alias, 1u);  // numbered from 1 as `quorlin points` lists them
  EXPECT_EQ(first.timestamp, kRoundMs);
  // Signed values travel sign-extended in the 32-bit member.
  EXPECT_EQ(birth.metrics[index_of("t|D3G3_M51_HZ_PV") + 2].number, uint32_t(-500));
  std::map<uint32_t, int> types;
  std::map<std::string, std::string> overwritten;
  for (const Metric& m : birth.metrics) {
    ++types[m.datatype];
    if (const Property* p = m.property("Overwritten By")) overwritten[m.name] = p->text;
  }
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
  const Payload data = decoded(device_data(kNow, 4, record_.data(), 42, nullptr, false, state));
  std::vector<std::string> sent;
  for (const Metric& m : data.metrics)
    sent.push_back(m.name + "#" + std::to_string(m.alias));  // aliases alone
  EXPECT_EQ(sent, (std::vector<std::string>{"#2707", "#2708", "#1", "#2510", "#2511", "#2706"}));
  ASSERT_NE(round_time_metric(data), nullptr);
  EXPECT_EQ(round_time_metric(data)->number, kRoundMs + 86'400'000);
  ASSERT_NE(round_seq_metric(data), nullptr);
  EXPECT_EQ(round_seq_metric(data)->number, 42u);
  EXPECT_EQ(state.record, record_);
  image = before;
  expect_rebuilt(data, image);
}

TEST_F(SparkplugRecord, data_carry_changed_statuses_and_quality_until_good_again) {
  qrn_report::RoundReport report;
  report.statuses.assign(kQuorlinPointCount, 0);
  report.statuses[2] = 0x80340000;   // BadNodeIdUnknown
  report.statuses[9] = 0x40000000;   // Uncertain
  report.statuses[11] = 0x00A70000;  // Good with info bits: no Quality
  DeviceState state;
  remember(state, record_.data(), nullptr);
  auto quality_by_alias = [&](bool historical) {
    const Payload p = decoded(device_data(kNow, 1, record_.data(), 7, &report, historical, state));
    std::map<uint64_t, int64_t> out;  // -1: sent without Quality
    for (const Metric& m : p.metrics) {
      EXPECT_EQ(m.historical, historical);
      EXPECT_EQ(m.timestamp, kRoundMs);
      const Property* q = m.property("Quality");
      if (m.alias != kRoundTimeAlias && m.alias != kRoundSeqAlias) out[m.alias] = q ? static_cast<int64_t>(q->number) : -1;
    }
    return out;
  };
  EXPECT_EQ(quality_by_alias(true),
            (std::map<uint64_t, int64_t>{{3, 0x80340000}, {10, 0x40000000}, {12, -1}}));
  report.statuses[2] = 0;
  EXPECT_EQ(quality_by_alias(false), (std::map<uint64_t, int64_t>{{3, 0}}));
  EXPECT_EQ(quality_by_alias(false), (std::map<uint64_t, int64_t>{}));
  // A birth names every point not Good.
  const Payload birth = decoded(device_birth(kNow, 0, record_.data(), 7, &report));
  const Property* uncertain = birth.metrics[11].property("Quality");
  ASSERT_NE(uncertain, nullptr);
  EXPECT_EQ(uncertain->number, 0x40000000u);
  EXPECT_EQ(birth.metrics[4].property("Quality"), nullptr);
}

TEST_F(SparkplugRecord, a_metric_that_fits_no_field_is_refused_by_name) {
  Payload p = decoded(device_birth(kNow, 0, record_.data(), 1, nullptr));
  p.metrics[2].kind = ValueKind::Float;
  std::vector<unsigned char> image(qrn_record::kSize, 0);
  std::string error;
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 1: value does not fit the point's field");
  p.metrics[2].alias = kRoundSeqAlias + 1;
  EXPECT_FALSE(apply_to_record(p, 42, image.data(), error));
  EXPECT_EQ(error, "alias 2709: no such point");
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
  EXPECT_EQ(birth.metric("bdSeq")->datatype, datatype::UInt64);
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
