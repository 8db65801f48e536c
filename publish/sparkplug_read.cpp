// Reading Sparkplug B payloads back into plain structures, and rebuilding a
// device's record from its DBIRTH and DDATA.
#include "sparkplug_payload.h"

#include "point_table.h"
#include "record.h"
#include "sparkplug_b.pb-c.h"

#include <zlib.h>

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

// The point a metric of device `device_id` stands for: by alias (its
// number from 1, under the device's id or alone), else by name.
// kQuorlinPointCount when none.
std::size_t point_of(const Metric& m, uint32_t device_id) {
  if (m.has_alias) {
    const uint64_t number = m.alias & ((1u << kAliasBits) - 1);
    const uint64_t device = m.alias >> kAliasBits;
    return (device == device_id || device == 0) && number >= 1 && number <= kQuorlinPointCount
               ? number - 1
               : kQuorlinPointCount;
  }
  static const std::unordered_map<std::string, std::size_t> by_name = [] {
    std::unordered_map<std::string, std::size_t> map;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) map.emplace(quorlin_points[i].name, i);
    return map;
  }();
  const auto it = by_name.find(m.name);
  return it == by_name.end() ? kQuorlinPointCount : it->second;
}

// A point's field from its metric: "Raw" when sent, else the value's bytes;
// false when neither fits, true leaving it alone for a null without "Raw".
bool write_field(const Metric& m, const QuorlinPoint& point, unsigned char* f) {
  if (const Property* raw = m.property("Raw")) {
    if ((raw->kind != ValueKind::Int && raw->kind != ValueKind::Long) ||
        (point.width < 8 && raw->number >> (8 * point.width) != 0))
      return false;
    field_bytes(ValueKind::Long, raw->number, point.width, f);
    return true;
  }
  if (m.is_null) return true;
  uint64_t bits = m.number;
  switch (m.kind) {
    case ValueKind::Boolean:
    case ValueKind::Int:
    case ValueKind::Long:
      break;
    case ValueKind::Float: {
      uint32_t b32;
      std::memcpy(&b32, &m.single, sizeof b32);
      bits = b32;
      break;
    }
    case ValueKind::Double:
      std::memcpy(&bits, &m.real, sizeof bits);
      break;
    default:
      return false;
  }
  field_bytes(m.kind, bits, point.width, f);
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

namespace {

bool is_round_time(const Metric& m) {
  return m.has_alias ? (m.alias & ((1u << kAliasBits) - 1)) == kRoundTimeNumber
                     : m.name == "Round/Time";
}

bool is_round_seq(const Metric& m) {
  return m.has_alias ? (m.alias & ((1u << kAliasBits) - 1)) == kRoundSeqNumber
                     : m.name == "Round/Seq";
}

// zlib's inflate of a zlib or gzip stream (told apart by its header), at
// most kMaxInflatedBytes; false when it is neither or larger.
bool inflate_bytes(const unsigned char* in, std::size_t size, std::vector<unsigned char>& out) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 32) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(size);
  out.assign(std::min<std::size_t>(std::max<std::size_t>(size * 8, 4096), kMaxInflatedBytes), 0);
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (zs.total_out == out.size()) {
      if (out.size() == kMaxInflatedBytes) break;
      out.resize(std::min(out.size() * 2, kMaxInflatedBytes));
    }
    zs.next_out = out.data() + zs.total_out;
    zs.avail_out = static_cast<uInt>(out.size() - zs.total_out);
    rc = inflate(&zs, Z_NO_FLUSH);
  }
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return rc == Z_STREAM_END && zs.avail_in == 0;
}

// The payload inside a compressed one; false when `payload` is not one.
bool decompressed(const PbPayload& payload, std::vector<unsigned char>& out, std::string& algorithm) {
  if (!payload.uuid || std::strcmp(payload.uuid, kCompressedUuid) != 0 || !payload.has_body)
    return false;
  for (std::size_t i = 0; i < payload.n_metrics; ++i) {
    const PbMetric& m = *payload.metrics[i];
    if (m.name && std::strcmp(m.name, kAlgorithm) == 0 &&
        m.value_case == SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE && m.string_value)
      algorithm = m.string_value;
  }
  if (algorithm != "DEFLATE" && algorithm != "GZIP") return false;
  return inflate_bytes(payload.body.data, payload.body.len, out);
}

}  // namespace

const Metric* round_time_metric(const Payload& payload) {
  for (const Metric& m : payload.metrics)
    if (is_round_time(m)) return &m;
  return nullptr;
}

const Metric* round_seq_metric(const Payload& payload) {
  for (const Metric& m : payload.metrics)
    if (is_round_seq(m)) return &m;
  return nullptr;
}

bool decode_payload(const unsigned char* bytes, std::size_t size, Payload& out) {
  PbPayload* payload = sparkplug_b__payload__unpack(nullptr, size, bytes);
  if (!payload) return false;
  std::vector<unsigned char> inner;
  std::string algorithm;
  if (decompressed(*payload, inner, algorithm)) {
    sparkplug_b__payload__free_unpacked(payload, nullptr);
    payload = sparkplug_b__payload__unpack(nullptr, inner.size(), inner.data());
    if (!payload) return false;
  } else if (payload->uuid && std::strcmp(payload->uuid, kCompressedUuid) == 0) {
    sparkplug_b__payload__free_unpacked(payload, nullptr);
    return false;  // compressed, but not as this reads it
  }
  out = Payload();
  out.compression = algorithm;
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
    if (is_round_seq(m)) continue;
    if (is_round_time(m)) {
      if (m.is_null) continue;
      if (!write_stamp(m, record)) {
        error = "Round/Time: no usable time";
        return false;
      }
      continue;
    }
    const std::size_t i = point_of(m, device_id);
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
