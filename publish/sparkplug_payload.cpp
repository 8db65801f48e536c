#include "sparkplug_payload.h"

#include "point_table.h"
#include "record.h"
#include "sparkplug_b.pb-c.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
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
static_assert(kRoundTimeNumber == kQuorlinPointCount + 1, "Round/Time follows the points");
static_assert(kRoundTimeNumber < (1u << kAliasBits), "a device's numbers fit below its id");
constexpr const char* kBdSeq = "bdSeq";
constexpr const char* kRebirth = "Node Control/Rebirth";


// protobuf-c takes char* for strings it only reads when packing.
char* text(const char* s) { return const_cast<char*>(s); }

// Each point's field as the record holds it after a round: who writes over
// part of it later (-1 nobody, -2 the time stamp, else the later point's
// index) and which of its bytes are its own (bit b: byte b).
struct FieldLayout {
  int over = -1;
  unsigned own = 0;
};

const std::vector<FieldLayout>& layouts() {
  static const std::vector<FieldLayout> table = [] {
    std::vector<int> last(qrn_record::kSize, -1);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      for (std::size_t b = 0; b < quorlin_points[i].width; ++b)
        last[quorlin_points[i].offset + b] = static_cast<int>(i);
    for (std::size_t b = qrn_record::kStampOffset; b < qrn_record::kSize; ++b) last[b] = -2;
    std::vector<FieldLayout> out(kQuorlinPointCount);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      for (std::size_t b = 0; b < quorlin_points[i].width; ++b) {
        const int w = last[quorlin_points[i].offset + b];
        if (w == static_cast<int>(i)) out[i].own |= 1u << b;
        else if (out[i].over == -1) out[i].over = w;
      }
    return out;
  }();
  return table;
}

// Whether a point's own bytes differ between two records.
bool own_bytes_differ(std::size_t i, const unsigned char* a, const unsigned char* b) {
  const QuorlinPoint& point = quorlin_points[i];
  for (std::size_t k = 0; k < point.width; ++k)
    if ((layouts()[i].own >> k & 1u) && a[point.offset + k] != b[point.offset + k]) return true;
  return false;
}

uint32_t status_of(const std::vector<uint32_t>& statuses, std::size_t i) {
  return i < statuses.size() ? statuses[i] : 0;
}

const std::vector<uint32_t>& report_statuses(const qrn_report::RoundReport* report) {
  static const std::vector<uint32_t> none;
  return report ? report->statuses : none;
}

// A report's types when it has one per point; else none (typed by width).
const std::vector<uint8_t>& report_types(const qrn_report::RoundReport* report) {
  static const std::vector<uint8_t> none;
  return report && report->types.size() == kQuorlinPointCount ? report->types : none;
}

// The Sparkplug datatype and size in bytes of each OPC UA built-in type,
// Boolean (1) to Double (11).
struct TypeInfo {
  uint32_t datatype;
  std::size_t size;
};
constexpr TypeInfo kTypes[] = {
    {datatype::Boolean, 1}, {datatype::Int8, 1},  {datatype::UInt8, 1},  {datatype::Int16, 2},
    {datatype::UInt16, 2},  {datatype::Int32, 4}, {datatype::UInt32, 4}, {datatype::Int64, 8},
    {datatype::UInt64, 8},  {datatype::Float, 4}, {datatype::Double, 8},
};

// The type a point is announced with: its served type, else its width's.
TypeInfo type_of(std::size_t i, const std::vector<uint8_t>& types) {
  const uint8_t t = i < types.size() ? types[i] : 0;
  if (t >= 1 && t <= 11) return kTypes[t - 1];
  const std::size_t width = quorlin_points[i].width;
  return width == 1 ? TypeInfo{datatype::Boolean, 1}
                    : width == 2 ? TypeInfo{datatype::Int16, 2} : TypeInfo{datatype::Float, 4};
}

// Whether a point's field holds no value of its own to publish.
enum class NoValue { Has, NeverRead, Overwritten, Cut };
NoValue no_value(std::size_t i, const std::vector<uint8_t>& types) {
  if (layouts()[i].over != -1) return NoValue::Overwritten;
  if (types.empty()) return NoValue::Has;
  if (types[i] == qrn_report::builtin::None) return NoValue::NeverRead;
  return type_of(i, types).size > quorlin_points[i].width ? NoValue::Cut : NoValue::Has;
}

// Status codes whose upper half says the controller could not be reached:
// the point's field holds the last value read.
bool communication_failure(uint32_t status) {
  static const uint32_t kCodes[] = {
      0x80050000,  // BadCommunicationError
      0x800A0000,  // BadTimeout
      0x800C0000,  // BadShutdown
      0x800D0000,  // BadServerNotConnected
      0x800E0000,  // BadServerHalted
      0x80220000,  // BadSecureChannelIdInvalid
      0x80250000,  // BadSessionIdInvalid
      0x80260000,  // BadSessionClosed
      0x80310000,  // BadNoCommunication
      0x80560000,  // BadTooManySessions
      0x80820000,  // BadTcpInternalError
      0x80850000,  // BadRequestTimeout
      0x80860000,  // BadSecureChannelClosed
      0x808A0000,  // BadNotConnected
      0x80AC0000,  // BadConnectionRejected
      0x80AD0000,  // BadDisconnect
      0x80AE0000,  // BadConnectionClosed
  };
  const uint32_t code = status & 0xFFFF0000u;
  return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
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

  // A number: UInt32 and wider in the long member, as the reference codecs
  // read them; narrower ones (Int32 sign-extended) in the int member.
  void add_property(PbMetric& metric, const char* key, uint32_t type, uint64_t number) {
    PbPropertyValue& v = new_property(metric, key, type);
    if (type == datatype::UInt32 || type == datatype::UInt64 || type == datatype::Int64) {
      v.value_case = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_LONG_VALUE;
      v.long_value = number;
    } else {
      v.value_case = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
      v.int_value = static_cast<uint32_t>(number);
    }
  }

  void add_property(PbMetric& metric, const char* key, std::string value) {
    strings_.push_back(std::move(value));
    PbPropertyValue& v = new_property(metric, key, datatype::String);
    v.value_case = SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
    v.string_value = text(strings_.back().c_str());
  }

  Bytes pack(uint64_t timestamp, bool with_timestamp, int seq, const char* uuid = nullptr,
             const Bytes* body = nullptr) {
    PbPayload payload = SPARKPLUG_B__PAYLOAD__INIT;
    payload.has_timestamp = with_timestamp;
    payload.timestamp = timestamp;
    payload.has_seq = seq >= 0;
    payload.seq = seq >= 0 ? static_cast<uint64_t>(seq) : 0;
    payload.n_metrics = pointers_.size();
    payload.metrics = pointers_.data();
    payload.uuid = text(uuid);
    if (body) {
      payload.has_body = true;
      payload.body.len = body->size();
      payload.body.data = const_cast<unsigned char*>(body->data());
    }
    Bytes out(sparkplug_b__payload__get_packed_size(&payload));
    sparkplug_b__payload__pack(&payload, out.data());
    return out;
  }

 private:
  // At most: "Overwritten By", "Cut To Bytes" or "Local Time"; "Raw";
  // "Quality" and "OPC UA Status".
  static constexpr std::size_t kMaxProperties = 5;
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

// The field's bytes, little-endian, as one number.
uint64_t field_number(const unsigned char* f, std::size_t n) {
  uint64_t v = 0;
  for (std::size_t k = n; k-- > 0;) v = v << 8 | f[k];
  return v;
}

// Sets a metric's value of `type` from the field's bytes (zero beyond
// them); returns its kind and bits as field_bytes takes them.
std::pair<ValueKind, uint64_t> set_value(PbMetric& m, const TypeInfo& type, const unsigned char* f,
                                         std::size_t width) {
  const std::size_t n = std::min(width, type.size);
  const uint64_t v = field_number(f, n);
  switch (type.datatype) {
    case datatype::Boolean:
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
      m.boolean_value = v != 0;
      return {ValueKind::Boolean, v != 0};
    case datatype::Int8:
    case datatype::Int16: {
      // Signed types travel sign-extended in the 32-bit member.
      const unsigned shift = 64 - 8 * static_cast<unsigned>(type.size);
      const int64_t sv = static_cast<int64_t>(v << shift) >> shift;
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE;
      m.int_value = static_cast<uint32_t>(sv);
      return {ValueKind::Int, m.int_value};
    }
    case datatype::Int32:
    case datatype::UInt8:
    case datatype::UInt16:
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE;
      m.int_value = static_cast<uint32_t>(v);
      return {ValueKind::Int, v};
    case datatype::Float: {
      const uint32_t bits = static_cast<uint32_t>(v);
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
      std::memcpy(&m.float_value, &bits, sizeof bits);
      return {ValueKind::Float, v};
    }
    case datatype::Double:
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
      std::memcpy(&m.double_value, &v, sizeof v);
      return {ValueKind::Double, v};
    default:  // UInt32, Int64, UInt64
      m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
      m.long_value = v;
      return {ValueKind::Long, v};
  }
}

uint32_t raw_datatype(std::size_t width) {
  return width == 1 ? datatype::UInt8 : width == 2 ? datatype::UInt16 : datatype::UInt32;
}

// A point's metric: alias, value from the record (or null), and the
// properties its field needs. Names, datatypes and the static reasons for
// a null go into births only.
PbMetric& add_point(Builder& b, uint32_t device_id, std::size_t i, const unsigned char* record,
                    const std::vector<uint8_t>& types, uint64_t round_ms, bool birth,
                    bool historical) {
  const QuorlinPoint& point = quorlin_points[i];
  const unsigned char* f = record ? record + point.offset : nullptr;
  const TypeInfo type = type_of(i, types);
  const NoValue none = no_value(i, types);
  PbMetric& m = b.add_metric();
  if (birth) {
    m.name = text(point.name);
    m.has_datatype = true;
    m.datatype = type.datatype;
  }
  m.has_alias = true;
  m.alias = alias(device_id, i + 1);
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (historical) m.has_is_historical = m.is_historical = true;
  bool gives_field = false;
  if (f && none == NoValue::Has) {
    const auto value = set_value(m, type, f, point.width);
    unsigned char rebuilt[8];
    field_bytes(value.first, value.second, point.width, rebuilt);
    gives_field = std::memcmp(rebuilt, f, point.width) == 0;
  } else {
    m.has_is_null = m.is_null = true;
    gives_field = !f || layouts()[i].own == 0;  // no record, or nothing of its own to give
  }
  if (birth && none == NoValue::Overwritten) {
    const int over = layouts()[i].over;
    b.add_property(m, "Overwritten By", over == -2 ? kRoundTime : quorlin_points[over].name);
  }
  if (birth && none == NoValue::Cut) b.add_property(m, "Cut To Bytes", datatype::UInt8, point.width);
  if (!gives_field) b.add_property(m, "Raw", raw_datatype(point.width), field_number(f, point.width));
  return m;
}

// A point's status: not plain Good, its Quality and the status itself;
// back to plain Good from another, Quality 192 alone.
void add_status(Builder& b, PbMetric& m, uint32_t status, uint32_t before) {
  if (status != 0) {
    b.add_property(m, "Quality", datatype::Int32,
                   static_cast<uint32_t>(quality_of(status)));
    b.add_property(m, "OPC UA Status", datatype::UInt32, status);
  } else if (before != 0) {
    b.add_property(m, "Quality", datatype::Int32, static_cast<uint32_t>(quality::Good));
  }
}

void add_round_time(Builder& b, uint32_t device_id, const unsigned char* record, uint64_t round_ms,
                    bool birth, bool historical) {
  PbMetric& m = b.add_metric();
  if (birth) m.name = text(kRoundTime);
  m.has_alias = true;
  m.alias = alias(device_id, kRoundTimeNumber);
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (birth) {
    m.has_datatype = true;
    m.datatype = datatype::DateTime;
  }
  if (historical) m.has_is_historical = m.is_historical = true;
  if (!record) {
    m.has_is_null = m.is_null = true;
    return;
  }
  m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  m.long_value = round_ms;
  b.add_property(m, "Local Time", qrn_record::stamp_text(record));
}

// A birth carries it always, null when there is no number (no record yet, or
// one saved before rows were numbered), so that its alias is known to the
// host before any DDATA uses it; data carry it only with a number.
void add_round_seq(Builder& b, uint32_t device_id, uint64_t round_seq, uint64_t round_ms,
                   bool birth, bool historical) {
  if (round_seq == 0 && !birth) return;
  PbMetric& m = b.add_metric();
  if (birth) {
    m.name = text(kRoundSeq);
    m.has_datatype = true;
    m.datatype = datatype::UInt64;
  }
  m.has_alias = true;
  m.alias = alias(device_id, kRoundSeqNumber);
  m.has_timestamp = true;
  m.timestamp = round_ms;
  if (historical) m.has_is_historical = m.is_historical = true;
  if (round_seq == 0) {
    m.has_is_null = m.is_null = true;
    return;
  }
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

int32_t quality_of(uint32_t status) {
  if (qrn_report::is_good(status)) return quality::Good;
  if (qrn_report::is_uncertain(status) || communication_failure(status)) return quality::Stale;
  return quality::Bad;
}

void field_bytes(ValueKind kind, uint64_t bits, std::size_t width, unsigned char* out) {
  const std::size_t size = kind == ValueKind::Boolean                           ? 1
                           : kind == ValueKind::Long || kind == ValueKind::Double ? 8
                                                                                  : 4;
  for (std::size_t k = 0; k < width; ++k)
    out[k] = k < size ? static_cast<unsigned char>(bits >> (8 * k)) : 0;
}

namespace {

// A packed payload's top-level timestamp (field 1) and seq (field 3), read
// from the wire form; false when it does not parse.
bool read_header(const Bytes& payload, uint64_t& timestamp, int& seq) {
  std::size_t at = 0;
  auto varint = [&](uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; at < payload.size() && shift < 64; shift += 7) {
      const unsigned char c = payload[at++];
      v |= static_cast<uint64_t>(c & 0x7f) << shift;
      if (!(c & 0x80)) return true;
    }
    return false;
  };
  timestamp = 0;
  seq = -1;
  while (at < payload.size()) {
    uint64_t key, v;
    if (!varint(key)) return false;
    const unsigned wire = key & 7;
    if (wire == 0) {
      if (!varint(v)) return false;
      if (key >> 3 == 1) timestamp = v;
      if (key >> 3 == 3) seq = static_cast<int>(v & 0xff);
    } else if (wire == 2) {
      if (!varint(v) || v > payload.size() - at) return false;
      at += v;
    } else if (wire == 1 || wire == 5) {
      at += wire == 1 ? 8 : 4;
    } else {
      return false;
    }
  }
  return at == payload.size();
}

// zlib's deflate, as a zlib stream or a gzip one; empty on failure.
Bytes deflate_bytes(const Bytes& in, bool gzip) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip ? 15 + 16 : 15, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return {};
  Bytes out(deflateBound(&zs, static_cast<uLong>(in.size())) + 32);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return rc == Z_STREAM_END ? out : Bytes{};
}

}  // namespace

Bytes compressed(const Bytes& payload, Compression compression) {
  uint64_t timestamp;
  int seq;
  if (compression == Compression::None || !read_header(payload, timestamp, seq))
    return payload;
  const Bytes body = deflate_bytes(payload, compression == Compression::Gzip);
  if (body.empty()) return payload;
  Builder b(1);
  PbMetric& m = b.add_metric();
  m.name = text(kAlgorithm);
  m.has_datatype = true;
  m.datatype = datatype::String;
  m.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE;
  m.string_value = text(compression == Compression::Gzip ? "GZIP" : "DEFLATE");
  Bytes out = b.pack(timestamp, timestamp != 0, seq, kCompressedUuid, &body);
  return out.size() < payload.size() ? out : payload;
}

Bytes node_birth(uint64_t now_ms, uint64_t bd_seq) {
  Builder b(2);
  PbMetric& seq = add_node_metric(b, kBdSeq, datatype::Int64, now_ms, true);
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
  PbMetric& seq = add_node_metric(b, kBdSeq, datatype::Int64, 0, false);
  seq.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
  seq.long_value = bd_seq;
  return b.pack(0, false, -1);
}

Bytes device_birth(uint64_t now_ms, uint8_t seq, uint32_t device_id, const unsigned char* record,
                   uint64_t round_seq, const qrn_report::RoundReport* report) {
  // No record yet: every point null, as of now.
  const uint64_t round_ms = record ? round_time_ms(record) : now_ms;
  static const std::vector<uint32_t> none;
  const std::vector<uint32_t>& statuses = record ? report_statuses(report) : none;
  const std::vector<uint8_t>& types = report_types(report);
  Builder b(kQuorlinPointCount + 2);
  add_round_time(b, device_id, record, round_ms, true, false);
  add_round_seq(b, device_id, round_seq, round_ms, true, false);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    PbMetric& m = add_point(b, device_id, i, record, types, round_ms, true, false);
    add_status(b, m, status_of(statuses, i), 0);
  }
  return b.pack(now_ms, true, seq);
}

void remember(DeviceState& state, const unsigned char* record,
              const qrn_report::RoundReport* report) {
  if (record) state.record.assign(record, record + qrn_record::kSize);
  else state.record.clear();
  state.statuses = report_statuses(report);
  state.types = report_types(report);
}

bool types_changed(const DeviceState& born, const qrn_report::RoundReport* report) {
  const std::vector<uint8_t>& types = report_types(report);
  if (types.empty()) return false;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
    if (type_of(i, types).datatype != type_of(i, born.types).datatype ||
        (no_value(i, types) == NoValue::Cut) != (no_value(i, born.types) == NoValue::Cut))
      return true;
  return false;
}

Bytes device_data(uint64_t now_ms, uint8_t seq, uint32_t device_id, const unsigned char* record,
                  uint64_t round_seq, const qrn_report::RoundReport* report, bool historical,
                  DeviceState& previous) {
  const uint64_t round_ms = round_time_ms(record);
  const std::vector<uint32_t>& statuses = report_statuses(report);
  // A record without its report is typed as the last one said.
  const std::vector<uint8_t> types = report ? report_types(report) : previous.types;
  const bool first = previous.record.size() != qrn_record::kSize;
  Builder b(kQuorlinPointCount + 2);
  add_round_time(b, device_id, record, round_ms, false, historical);
  add_round_seq(b, device_id, round_seq, round_ms, false, historical);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const uint32_t status = status_of(statuses, i);
    const uint32_t before = first ? 0 : status_of(previous.statuses, i);
    const uint8_t type = i < types.size() ? types[i] : 0;
    const uint8_t type_before = i < previous.types.size() ? previous.types[i] : 0;
    if (!first && status == before && type == type_before &&
        !own_bytes_differ(i, record, previous.record.data()))
      continue;
    PbMetric& m = add_point(b, device_id, i, record, types, round_ms, false, historical);
    add_status(b, m, status, before);
  }
  previous.record.assign(record, record + qrn_record::kSize);
  previous.statuses = statuses;
  previous.types = types;
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
