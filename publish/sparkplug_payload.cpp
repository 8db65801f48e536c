#include "sparkplug_payload.h"

#include "point_table.h"
#include "record.h"
#include "sparkplug_b.pb-c.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>

namespace sparkplug {
namespace {

using PbPayload = SparkplugB__Payload;
using PbMetric = SparkplugB__Payload__Metric;
using PbPropertySet = SparkplugB__Payload__PropertySet;
using PbPropertyValue = SparkplugB__Payload__PropertyValue;

constexpr const char* kRoundTime = "Round/Time";
constexpr const char* kRoundSeq = "Round/Seq";
static_assert(kRoundTimeAlias == kQuorlinPointCount + 1, "Round/Time follows the points");
constexpr const char* kBdSeq = "bdSeq";
constexpr const char* kRebirth = "Node Control/Rebirth";

// protobuf-c takes char* for strings it only reads when packing.
char* text(const char* s) { return const_cast<char*>(s); }

// For each point, who writes over part of its field later in a round: -1
// nobody, -2 the time stamp, else the index of the later point.
const std::vector<int>& overwriters() {
  static const std::vector<int> table = [] {
    std::vector<int> last(qrn_record::kSize, -1);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      for (std::size_t b = 0; b < quorlin_points[i].width; ++b)
        last[quorlin_points[i].offset + b] = static_cast<int>(i);
    for (std::size_t b = qrn_record::kStampOffset; b < qrn_record::kSize; ++b) last[b] = -2;
    std::vector<int> out(kQuorlinPointCount, -1);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      for (std::size_t b = 0; b < quorlin_points[i].width; ++b) {
        const int w = last[quorlin_points[i].offset + b];
        if (w != static_cast<int>(i)) {
          out[i] = w;
          break;
        }
      }
    return out;
  }();
  return table;
}

uint32_t status_of(const std::vector<uint32_t>& statuses, std::size_t i) {
  return i < statuses.size() ? statuses[i] : 0;
}

const std::vector<uint32_t>& report_statuses(const qrn_report::RoundReport* report) {
  static const std::vector<uint32_t> none;
  return report ? report->statuses : none;
}

// The protobuf-c message tree of one payload; it owns everything the
// messages point to until packed.
class Builder {
 public:
  explicit Builder(std::size_t metrics) { pointers_.reserve(metrics); }

  PbMetric& add_metric() {
    metrics_.push_back(SPARKPLUG_B__PAYLOAD__METRIC__INIT);
    pointers_.push_back(&metrics_.back());
    return metrics_.back();
  }

  void add_property(PbMetric& metric, const char* key, uint32_t type, uint32_t number) {
    PbPropertyValue& v = new_property(metric, key, type);
    v.value_case = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
    v.int_value = number;
  }

  void add_property(PbMetric& metric, const char* key, std::string value) {
    strings_.push_back(std::move(value));
    PbPropertyValue& v = new_property(metric, key, datatype::String);
    v.value_case = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
    v.string_value = text(strings_.back().c_str());
  }

  Bytes pack(uint64_t timestamp, bool with_timestamp, int seq) {
    PbPayload payload = SPARKPLUG_B__PAYLOAD__INIT;
    payload.has_timestamp = with_timestamp;
    payload.timestamp = timestamp;
    payload.has_seq = seq >= 0;
    payload.seq = seq >= 0 ? static_cast<uint64_t>(seq) : 0;
    payload.n_metrics = pointers_.size();
    payload.metrics = pointers_.data();
    Bytes out(sparkplug_b__payload__get_packed_size(&payload));
    sparkplug_b__payload__pack(&payload, out.data());
    return out;
  }

 private:
  // One of "Raw", "Overwritten By" or "Local Time", and "Quality".
  static constexpr std::size_t kMaxProperties = 2;
  struct Properties {
    PbPropertySet set;
    char* keys[kMaxProperties];
    PbPropertyValue values[kMaxProperties];
    PbPropertyValue* value_pointers[kMaxProperties];
  };

  PbPropertyValue& new_property(PbMetric& metric, const char* key, uint32_t type) {
    if (!metric.properties) {
      properties_.emplace_back();
      Properties& p = properties_.back();
      p.set = SPARKPLUG_B__PAYLOAD__PROPERTY_SET__INIT;
      p.set.keys = p.keys;
      p.set.values = p.value_pointers;
      metric.properties = &p.set;
    }
    // The set is the first member of its Properties.
    Properties& p = *reinterpret_cast<Properties*>(metric.properties);
    // Never past the slots, should a later caller add more than the above.
    const std::size_t n = std::min(p.set.n_keys, kMaxProperties - 1);
    p.keys[n] = text(key);
    p.values[n] = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__INIT;
    p.values[n].has_type = true;
    p.values[n].type = type;
    p.value_pointers[n] = &p.values[n];
    p.set.n_keys = p.set.n_values = n + 1;
    return p.values[n];
  }

  std::deque<PbMetric> metrics_;  // a deque: pointers to its elements stay valid
  std::vector<PbMetric*> pointers_;
  std::deque<Properties> properties_;
  std::deque<std::string> strings_;
};

// A point's metric: alias, value from the record, and its properties. The
// name and datatype go into births only.
PbMetric& add_point(Builder& b, std::size_t i, const unsigned char* record, uint64_t round_ms,
                    bool birth, bool historical) {
  const QuorlinPoint& point = quorlin_points[i];
  const unsigned char* f = record + point.offset;
  PbMetric& m = b.add_metric();
  if (birth) m.name = text(point.name);
  m.has_alias = true;
  m.alias = i + 1;
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (historical) m.has_is_historical = m.is_historical = true;
  uint32_t type;
  if (point.width == 1) {
    type = datatype::Boolean;
    m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
    m.boolean_value = f[0] != 0;
    if (f[0] > 1) b.add_property(m, "Raw", datatype::UInt8, f[0]);
  } else if (point.width == 2) {
    type = datatype::Int16;
    m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE;
    // Signed types travel sign-extended in the 32-bit member.
    const int16_t v = static_cast<int16_t>(static_cast<uint16_t>(f[0] | f[1] << 8));
    m.int_value = static_cast<uint32_t>(static_cast<int32_t>(v));
  } else {
    type = datatype::Float;
    m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
    const uint32_t bits = static_cast<uint32_t>(f[0]) | static_cast<uint32_t>(f[1]) << 8 |
                          static_cast<uint32_t>(f[2]) << 16 | static_cast<uint32_t>(f[3]) << 24;
    std::memcpy(&m.float_value, &bits, sizeof bits);
  }
  if (birth) {
    m.has_datatype = true;
    m.datatype = type;
  }
  const int over = overwriters()[i];
  if (over != -1)
    b.add_property(m, "Overwritten By", over == -2 ? kRoundTime : quorlin_points[over].name);
  return m;
}

void add_round_time(Builder& b, const unsigned char* record, uint64_t round_ms, bool birth,
                    bool historical) {
  PbMetric& m = b.add_metric();
  if (birth) m.name = text(kRoundTime);
  m.has_alias = true;
  m.alias = kRoundTimeAlias;
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (birth) {
    m.has_datatype = true;
    m.datatype = datatype::DateTime;
  }
  if (historical) m.has_is_historical = m.is_historical = true;
  m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  m.long_value = round_ms;
  b.add_property(m, "Local Time", qrn_record::stamp_text(record));
}

void add_round_seq(Builder& b, uint64_t round_seq, uint64_t round_ms, bool birth,
                   bool historical) {
  PbMetric& m = b.add_metric();
  if (birth) {
    m.name = text(kRoundSeq);
    m.has_datatype = true;
    m.datatype = datatype::UInt64;
  }
  m.has_alias = true;
  m.alias = kRoundSeqAlias;
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (historical) m.has_is_historical = m.is_historical = true;
  m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  m.long_value = round_seq;
}

PbMetric& add_node_metric(Builder& b, const char* name, uint32_t type, uint64_t now_ms,
                          bool with_timestamp) {
  PbMetric& m = b.add_metric();
  m.name = text(name);
  m.has_timestamp = with_timestamp;
  m.timestamp = now_ms;
  m.has_datatype = true;
  m.datatype = type;
  return m;
}

}  // namespace

uint64_t round_time_ms(const unsigned char* record) {
  if (!qrn_record::stamp_valid(record)) return 0;
  const unsigned char* s = record + qrn_record::kStampOffset;
  std::tm local{};
  local.tm_year = (s[0] | s[1] << 8) - 1900;
  local.tm_mon = s[2] - 1;
  local.tm_mday = s[3];
  local.tm_hour = s[4];
  local.tm_min = s[5];
  local.tm_sec = s[6];
  local.tm_isdst = -1;  // the zone's rules say whether summer time applies
  const std::time_t t = std::mktime(&local);
  if (t < 0) return 0;  // also mktime's failure, -1
  return static_cast<uint64_t>(t) * 1000;
}

Bytes node_birth(uint64_t now_ms, uint64_t bd_seq) {
  Builder b(2);
  PbMetric& seq = add_node_metric(b, kBdSeq, datatype::UInt64, now_ms, true);
  seq.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  seq.long_value = bd_seq;
  PbMetric& rebirth = add_node_metric(b, kRebirth, datatype::Boolean, now_ms, true);
  rebirth.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
  rebirth.boolean_value = false;
  return b.pack(now_ms, true, 0);
}

Bytes node_death(uint64_t bd_seq) {
  // The will is fixed when connecting: no time stamp would be right.
  Builder b(1);
  PbMetric& seq = add_node_metric(b, kBdSeq, datatype::UInt64, 0, false);
  seq.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  seq.long_value = bd_seq;
  return b.pack(0, false, -1);
}

Bytes device_birth(uint64_t now_ms, uint8_t seq, const unsigned char* record, uint64_t round_seq,
                   const qrn_report::RoundReport* report) {
  const uint64_t round_ms = round_time_ms(record);
  const std::vector<uint32_t>& statuses = report_statuses(report);
  Builder b(kQuorlinPointCount + 2);
  add_round_time(b, record, round_ms, true, false);
  add_round_seq(b, round_seq, round_ms, true, false);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    PbMetric& m = add_point(b, i, record, round_ms, true, false);
    const uint32_t status = status_of(statuses, i);
    if (!qrn_report::is_good(status)) b.add_property(m, "Quality", datatype::UInt32, status);
  }
  return b.pack(now_ms, true, seq);
}

void remember(DeviceState& state, const unsigned char* record,
              const qrn_report::RoundReport* report) {
  state.record.assign(record, record + qrn_record::kSize);
  state.statuses = report_statuses(report);
}

Bytes device_data(uint64_t now_ms, uint8_t seq, const unsigned char* record, uint64_t round_seq,
                  const qrn_report::RoundReport* report, bool historical, DeviceState& previous) {
  const uint64_t round_ms = round_time_ms(record);
  const std::vector<uint32_t>& statuses = report_statuses(report);
  const bool first = previous.record.size() != qrn_record::kSize;
  Builder b(kQuorlinPointCount + 2);
  add_round_time(b, record, round_ms, false, historical);
  add_round_seq(b, round_seq, round_ms, false, historical);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& point = quorlin_points[i];
    const uint32_t status = status_of(statuses, i);
    const uint32_t before = first ? 0 : status_of(previous.statuses, i);
    if (!first && status == before &&
        std::memcmp(record + point.offset, previous.record.data() + point.offset, point.width) == 0)
      continue;
    PbMetric& m = add_point(b, i, record, round_ms, false, historical);
    if (!qrn_report::is_good(status))
      b.add_property(m, "Quality", datatype::UInt32, status);
    else if (!qrn_report::is_good(before))
      b.add_property(m, "Quality", datatype::UInt32, 0);
  }
  remember(previous, record, report);
  return b.pack(now_ms, true, seq);
}

Bytes device_death(uint64_t now_ms, uint8_t seq) {
  Builder b(0);
  return b.pack(now_ms, true, seq);
}

Command decode_node_command(const unsigned char* bytes, std::size_t size, std::string& what) {
  if (size > kMaxCommandBytes) {
    what = "a payload of " + std::to_string(size) + " bytes, over the " +
           std::to_string(kMaxCommandBytes) + " taken";
    return Command::Invalid;
  }
  PbPayload* payload = sparkplug_b__payload__unpack(nullptr, size, bytes);
  if (!payload) {
    what = "a payload that is not Sparkplug B";
    return Command::Invalid;
  }
  Command command = Command::Other;
  what = payload->n_metrics == 0 ? "no metric" : "";
  for (std::size_t i = 0; i < payload->n_metrics; ++i) {
    const PbMetric& m = *payload->metrics[i];
    const std::string name = m.name ? m.name : "alias " + std::to_string(m.alias);
    if (name == kRebirth &&
        m.value_case == SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE &&
        m.boolean_value) {
      command = Command::Rebirth;
      what = name;
      break;
    }
    if (what.empty()) what = name == kRebirth ? name + " not true" : name;
  }
  sparkplug_b__payload__free_unpacked(payload, nullptr);
  return command;
}

}  // namespace sparkplug
