// Reading Sparkplug B payloads back into plain structures, and rebuilding a
// device's record from its DBIRTH and DDATA.
#include "sparkplug_payload.h"

#include "point_table.h"
#include "record.h"
#include "sparkplug_b.pb-c.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace sparkplug {
namespace {

using PbPayload = SparkplugB__Payload;
using PbMetric = SparkplugB__Payload__Metric;
using PbPropertyValue = SparkplugB__Payload__PropertyValue;

Property read_property(const char* key, const PbPropertyValue& v) {
  Property p;
  p.key = key ? key : "";
  p.type = v.has_type ? v.type : 0;
  switch (v.value_case) {
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE__NOT_SET:
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE:
      p.kind = ValueKind::Int;
      p.number = v.int_value;
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_LONG_VALUE:
      p.kind = ValueKind::Long;
      p.number = v.long_value;
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_FLOAT_VALUE:
      p.kind = ValueKind::Float;
      p.real = v.float_value;
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_DOUBLE_VALUE:
      p.kind = ValueKind::Double;
      p.real = v.double_value;
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_BOOLEAN_VALUE:
      p.kind = ValueKind::Boolean;
      p.number = v.boolean_value ? 1 : 0;
      break;
    case SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE:
      p.kind = ValueKind::String;
      p.text = v.string_value ? v.string_value : "";
      break;
    default:
      p.kind = ValueKind::Other;
  }
  return p;
}

Metric read_metric(const PbMetric& m) {
  Metric out;
  out.name = m.name ? m.name : "";
  out.has_alias = m.has_alias;
  out.alias = m.alias;
  out.datatype = m.has_datatype ? m.datatype : 0;
  out.timestamp = m.has_timestamp ? m.timestamp : 0;
  out.historical = m.has_is_historical && m.is_historical;
  out.is_null = m.has_is_null && m.is_null;
  switch (m.value_case) {
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE__NOT_SET:
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE:
      out.kind = ValueKind::Int;
      out.number = m.int_value;
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE:
      out.kind = ValueKind::Long;
      out.number = m.long_value;
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
      out.kind = ValueKind::Float;
      out.single = m.float_value;
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
      out.kind = ValueKind::Double;
      out.real = m.double_value;
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
      out.kind = ValueKind::Boolean;
      out.number = m.boolean_value ? 1 : 0;
      break;
    case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE:
      out.kind = ValueKind::String;
      out.text = m.string_value ? m.string_value : "";
      break;
    default:
      out.kind = ValueKind::Other;
  }
  if (m.properties) {
    const std::size_t n = std::min(m.properties->n_keys, m.properties->n_values);
    out.properties.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
      out.properties.push_back(read_property(m.properties->keys[i], *m.properties->values[i]));
  }
  return out;
}

// The point a metric stands for: by alias (its number from 1), else by name.
// kQuorlinPointCount when none.
std::size_t point_of(const Metric& m) {
  if (m.has_alias)
    return m.alias >= 1 && m.alias <= kQuorlinPointCount ? m.alias - 1 : kQuorlinPointCount;
  static const std::unordered_map<std::string, std::size_t> by_name = [] {
    std::unordered_map<std::string, std::size_t> map;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) map.emplace(quorlin_points[i].name, i);
    return map;
  }();
  const auto it = by_name.find(m.name);
  return it == by_name.end() ? kQuorlinPointCount : it->second;
}

// A point's field from its metric; false when the value does not fit.
bool write_field(const Metric& m, const QuorlinPoint& point, unsigned char* f) {
  if (point.width == 1) {
    if (m.kind != ValueKind::Boolean) return false;
    const Property* raw = m.property("Raw");
    if (raw && (raw->kind != ValueKind::Int || raw->number > 255)) return false;
    f[0] = static_cast<unsigned char>(raw ? raw->number : m.number);
  } else if (point.width == 2) {
    if (m.kind != ValueKind::Int) return false;
    f[0] = static_cast<unsigned char>(m.number);
    f[1] = static_cast<unsigned char>(m.number >> 8);
  } else {
    if (m.kind != ValueKind::Float) return false;
    uint32_t bits;
    std::memcpy(&bits, &m.single, sizeof bits);
    for (int k = 0; k < 4; ++k) f[k] = static_cast<unsigned char>(bits >> (8 * k));
  }
  return true;
}

// The stamp from "Round/Time": its "Local Time" text when sent, else the
// milliseconds in this machine's time zone.
bool write_stamp(const Metric& m, unsigned char* record) {
  unsigned v[6];
  const Property* local = m.property("Local Time");
  if (local) {
    char end = 0;
    if (local->kind != ValueKind::String ||
        std::sscanf(local->text.c_str(), "%u-%u-%u %u:%u:%u%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &end) != 6 ||
        v[0] > 65535)
      return false;
    for (int k = 1; k < 6; ++k)
      if (v[k] > 255) return false;
  } else {
    if (m.kind != ValueKind::Long) return false;
    const std::time_t t = static_cast<std::time_t>(m.number / 1000);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return false;
    v[0] = static_cast<unsigned>(tm.tm_year + 1900);
    v[1] = static_cast<unsigned>(tm.tm_mon + 1);
    v[2] = static_cast<unsigned>(tm.tm_mday);
    v[3] = static_cast<unsigned>(tm.tm_hour);
    v[4] = static_cast<unsigned>(tm.tm_min);
    v[5] = static_cast<unsigned>(tm.tm_sec);
  }
  unsigned char* s = record + qrn_record::kStampOffset;
  s[0] = static_cast<unsigned char>(v[0]);
  s[1] = static_cast<unsigned char>(v[0] >> 8);
  for (int k = 1; k < 6; ++k) s[k + 1] = static_cast<unsigned char>(v[k]);
  return true;
}

}  // namespace

const Property* Metric::property(const std::string& key) const {
  for (const Property& p : properties)
    if (p.key == key) return &p;
  return nullptr;
}

const Metric* Payload::metric(const std::string& name) const {
  for (const Metric& m : metrics)
    if (m.name == name) return &m;
  return nullptr;
}

const Metric* round_time_metric(const Payload& payload) {
  for (const Metric& m : payload.metrics)
    if (m.has_alias ? m.alias == kRoundTimeAlias : m.name == "Round/Time") return &m;
  return nullptr;
}

const Metric* round_seq_metric(const Payload& payload) {
  for (const Metric& m : payload.metrics)
    if (m.has_alias ? m.alias == kRoundSeqAlias : m.name == "Round/Seq") return &m;
  return nullptr;
}

bool decode_payload(const unsigned char* bytes, std::size_t size, Payload& out) {
  PbPayload* payload = sparkplug_b__payload__unpack(nullptr, size, bytes);
  if (!payload) return false;
  out = Payload();
  out.has_timestamp = payload->has_timestamp;
  out.timestamp = payload->timestamp;
  out.has_seq = payload->has_seq;
  out.seq = payload->seq;
  out.metrics.reserve(payload->n_metrics);
  for (std::size_t i = 0; i < payload->n_metrics; ++i)
    out.metrics.push_back(read_metric(*payload->metrics[i]));
  sparkplug_b__payload__free_unpacked(payload, nullptr);
  return true;
}

bool apply_to_record(const Payload& payload, uint32_t device_id, unsigned char* record,
                     std::string& error) {
  for (int k = 0; k < 4; ++k) record[k] = static_cast<unsigned char>(device_id >> (8 * k));
  for (const Metric& m : payload.metrics) {
    if (m.is_null || (m.has_alias ? m.alias == kRoundSeqAlias : m.name == "Round/Seq")) continue;
    if (m.has_alias ? m.alias == kRoundTimeAlias : m.name == "Round/Time") {
      if (!write_stamp(m, record)) {
        error = "Round/Time: no usable time";
        return false;
      }
      continue;
    }
    const std::size_t i = point_of(m);
    const std::string label = m.has_alias ? "alias " + std::to_string(m.alias) : m.name;
    if (i == kQuorlinPointCount) {
      error = label + ": no such point";
      return false;
    }
    if (!write_field(m, quorlin_points[i], record + quorlin_points[i].offset)) {
      error = label + ": value does not fit the point's field";
      return false;
    }
  }
  return true;
}

}  // namespace sparkplug
