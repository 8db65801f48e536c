#pragma once

// Sparkplug B payloads of the edge node: what each message carries, encoded
// with protobuf. Pure functions of the records and round reports given; the
// edge node (connection, sequence numbers, spool) lives elsewhere.
//
// A device's points are metrics named by their node id and aliased by
// alias(device id, number), the number as `quorlin points` lists it (from
// 1), so aliases are unique across the edge node and the same after a
// restart. Each point is typed as the controller served it (the round
// report's types: Boolean, Int8, UInt8, Int16, UInt16, Int32, UInt32,
// Int64, UInt64, Float, Double); without types (reports off, or reports
// from before types) by its field width: 1 byte Boolean, 2 Int16, 4 Float.
// Values come from the fields' bytes as the record holds them. A point goes
// out with is_null instead of a value when its field never held a value
// read since the device started, when a later point or the time stamp
// writes over part of its field (births say "Overwritten By": the other
// point's node id or "Round/Time"), or when its type is wider than its
// field (births say "Cut To Bytes", UInt8: the field's width). When the
// value does not give the field's bytes back (see field_bytes), "Raw"
// (UInt8, UInt16 or UInt32 by width: the field's bytes, little-endian)
// carries them, so a subscriber rebuilds the record byte for byte.
// "Round/Time" (DateTime, number 2707, after the points) carries "Local
// Time" (String, the stamp as the record holds it, e.g. "2026-03-04
// 05:06:07"), so a subscriber rebuilds the stamp in any time zone. Births
// send names, datatypes and aliases, data messages aliases alone.
// A point whose status is not plain Good carries "Quality" (Int32: 0 Bad,
// 500 Stale for Uncertain and for communication failures, 192 Good with
// info bits) and "OPC UA Status" (UInt32, the status code); back to Good it
// carries "Quality" 192 once. UInt32 values travel in the long member, as
// the reference decoders read them.
#include "round_report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sparkplug {

using Bytes = std::vector<unsigned char>;

// Payloads larger than this are refused when received (node commands).
constexpr std::size_t kMaxCommandBytes = 64 * 1024;

// A device's metric numbers take the low 12 bits of an alias, its id (32
// bits) the 32 above them: every alias of the edge node is unique and fits
// in 44 bits. The node's own metrics (bdSeq, Node Control/Rebirth) have none.
constexpr unsigned kAliasBits = 12;
constexpr uint64_t alias(uint32_t device_id, uint64_t number) {
  return static_cast<uint64_t>(device_id) << kAliasBits | number;
}
// The number of "Round/Time": the one after the last point's.
constexpr uint64_t kRoundTimeNumber = 2707;

// Sparkplug's "Quality" values.
namespace quality {
constexpr int32_t Bad = 0, Good = 192, Stale = 500;
}
// The Quality of an OPC UA status: Good 192; Uncertain, and a Bad status
// that says the controller could not be reached, 500 (the field holds the
// last value read); any other Bad 0.
int32_t quality_of(uint32_t status);

// Optional compression of births and data, as Sparkplug's reference codecs
// read it: uuid "SPBV1.0_COMPRESSED", the packed payload compressed in
// body, metric "algorithm" (String, "DEFLATE": zlib, or "GZIP").
enum class Compression { None, Deflate, Gzip };
constexpr const char* kCompressedUuid = "SPBV1.0_COMPRESSED";
constexpr const char* kAlgorithm = "algorithm";
// The compressed payload, or `payload` itself when that is not smaller.
Bytes compressed(const Bytes& payload, Compression compression);
// "Round/Seq" (UInt64): the record's number in its device's history, +1 per
// record and never renumbered, so a subscriber sees gaps and duplicates. In
// every DBIRTH and DDATA, numbered after "Round/Time"; a record saved before
// rows were numbered (its number 0) goes without it.
constexpr uint64_t kRoundSeqNumber = kRoundTimeNumber + 1;

// The round's time of a record: its local-time stamp as milliseconds since
// the epoch, UTC (the unit's time zone applied). 0 for an impossible stamp.
uint64_t round_time_ms(const unsigned char* record);

// NBIRTH: bdSeq (Int64, 0..255), "Node Control/Rebirth" (false); seq is 0
// by the rule.
Bytes node_birth(uint64_t now_ms, uint64_t bd_seq);
// NDEATH (the MQTT will): bdSeq only, no seq.
Bytes node_death(uint64_t bd_seq);

// What a device's point looked like in the last record published for it.
struct DeviceState {
  std::vector<unsigned char> record;  // empty: nothing published yet
  std::vector<uint32_t> statuses;     // per point; empty: all Good
  std::vector<uint8_t> types;         // per point, its report's; empty: by width
};

// DBIRTH of device `device_id`: every point by name and alias with its
// datatype, value and the round's timestamp from `record`, plus
// "Round/Time" and "Round/Seq" (`round_seq`); statuses and types from
// `report` when given; "Round/Seq" is_null when `round_seq` is 0. A null
// `record` (none saved yet): every point, "Round/Time" and "Round/Seq"
// is_null, timestamped `now_ms`.
Bytes device_birth(uint64_t now_ms, uint8_t seq, uint32_t device_id, const unsigned char* record,
                   uint64_t round_seq, const qrn_report::RoundReport* report);

// DDATA: "Round/Time", "Round/Seq" and, by alias, every point whose value,
// status or type differs from `previous` (all points when previous.record
// is empty). Without a report (a replayed record) the points are typed as
// `previous` says. `historical` marks every metric is_historical. `previous`
// is updated to this record, its statuses and types.
Bytes device_data(uint64_t now_ms, uint8_t seq, uint32_t device_id, const unsigned char* record,
                  uint64_t round_seq, const qrn_report::RoundReport* report, bool historical,
                  DeviceState& previous);

// Whether `report` types a point otherwise than the device's last birth
// (`born`, as remembered) announced it: the device needs a DBIRTH again.
bool types_changed(const DeviceState& born, const qrn_report::RoundReport* report);

// DDEATH of a device.
Bytes device_death(uint64_t now_ms, uint8_t seq);

// After a DBIRTH of `record`: `state` remembers it as the last published
// (a null record: nothing published yet).
void remember(DeviceState& state, const unsigned char* record,
              const qrn_report::RoundReport* report);

// A received NCMD: a rebirth request, another command (`what` names it), or
// a payload that is too large or does not decode (`what` says why).
enum class Command { Rebirth, Other, Invalid };
Command decode_node_command(const unsigned char* bytes, std::size_t size, std::string& what);

// ---- Reading payloads back: subscribers, tests and the benchmark ----

// Sparkplug B DataType numbers used here.
namespace datatype {
constexpr uint32_t Int8 = 1, Int16 = 2, Int32 = 3, Int64 = 4, UInt8 = 5, UInt16 = 6, UInt32 = 7,
                   UInt64 = 8, Float = 9, Double = 10, Boolean = 11, String = 12, DateTime = 13;
}

// Which member of a metric's or property's value was sent.
enum class ValueKind { None, Int, Long, Float, Double, Boolean, String, Other };

struct Property {
  std::string key;
  uint32_t type = 0;  // its DataType, 0 when not sent
  ValueKind kind = ValueKind::None;
  uint64_t number = 0;  // Int (32 bits), Long or Boolean (0, 1)
  double real = 0;      // Float or Double
  std::string text;     // String
};

// The bytes a value gives a field of `width` bytes: its own little-endian
// bytes (1 Boolean, 4 Int and Float, 8 Long and Double) as far as the field
// goes, zero beyond them. `bits` is the value's number, or a float's bits.
void field_bytes(ValueKind kind, uint64_t bits, std::size_t width, unsigned char* out);

struct Metric {
  std::string name;  // empty when sent by alias alone
  bool has_alias = false;
  uint64_t alias = 0;
  uint32_t datatype = 0;  // 0 when not sent (data messages)
  uint64_t timestamp = 0;
  bool historical = false;
  bool is_null = false;
  ValueKind kind = ValueKind::None;
  uint64_t number = 0;  // Int (the 32 bits as sent), Long, DateTime or Boolean (0, 1)
  float single = 0;     // Float, its bits as sent
  double real = 0;      // Double
  std::string text;     // String
  std::vector<Property> properties;

  const Property* property(const std::string& key) const;
};

struct Payload {
  bool has_timestamp = false;
  uint64_t timestamp = 0;
  bool has_seq = false;
  uint64_t seq = 0;
  std::string compression;  // "DEFLATE" or "GZIP" when it came compressed, else empty
  std::vector<Metric> metrics;

  const Metric* metric(const std::string& name) const;  // the first by that name
};

// "Round/Time" of a payload, by name or by its alias; null when absent.
const Metric* round_time_metric(const Payload& payload);
// "Round/Seq" of a payload, by name or by its alias; null when absent.
const Metric* round_seq_metric(const Payload& payload);

// A compressed payload is decompressed first (at most kMaxInflatedBytes).
constexpr std::size_t kMaxInflatedBytes = 16u << 20;
// False (and `out` unspecified) when the bytes are not a Sparkplug B payload.
bool decode_payload(const unsigned char* bytes, std::size_t size, Payload& out);

// Writes a decoded DBIRTH or DDATA of device `device_id` into `record`, a
// 7001-byte image of its record: the id, each point's field by alias (its
// number alone, as sent before aliases held the device id, is taken too;
// by name when sent without one), the stamp from "Round/Time" ("Round/Seq"
// is no part of the record and is passed over). Metrics are applied in the
// payload's order: a field from "Raw" when sent, else from the value
// (field_bytes); a null metric without "Raw" leaves it alone.
// Bytes that no point covers keep what the image held. False, with `error`
// naming the metric, when a metric is no point of the table or its value
// does not fit the field; the metrics before it are applied.
bool apply_to_record(const Payload& payload, uint32_t device_id, unsigned char* record,
                     std::string& error);

}  // namespace sparkplug
