#pragma once

// Sparkplug B payloads of the edge node: what each message carries, encoded
// with protobuf. Pure functions of the records and round reports given; the
// edge node (connection, sequence numbers, spool) lives elsewhere.
//
// A device's points are metrics named by their node id, aliased by their
// number as `quorlin points` lists it (from 1), typed by their field width:
// 1 byte Boolean, 2 bytes Int16, 4 bytes Float. A one-byte field holding
// neither 0 nor 1 is published as true with the property "Raw" (UInt8, the
// byte). Values are the fields' bytes as the record holds them, so a field
// that a later point or the time stamp partly writes over carries the
// property "Overwritten By" (String: the other point's node id, or
// "Round/Time" for the stamp). "Round/Time" (DateTime, alias 2707, after the
// points) carries the property "Local Time" (String, the stamp as the record
// holds it, e.g. "2026-03-04 05:06:07"), so a subscriber rebuilds the stamp in
// any time zone. Births send names and aliases, data messages aliases alone.
// A point whose status is not Good carries "Quality" (UInt32, the status
// code); back to Good it carries "Quality" 0 once.
#include "round_report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sparkplug {

using Bytes = std::vector<unsigned char>;

// Payloads larger than this are refused when received (node commands).
constexpr std::size_t kMaxCommandBytes = 64 * 1024;

// The alias of "Round/Time": the one after the last point's.
constexpr uint64_t kRoundTimeAlias = 2707;
// "Round/Seq" (UInt64): the record's number in its device's history, +1 per
// record and never renumbered, so a subscriber sees gaps and duplicates. In
// every DBIRTH and DDATA, aliased after "Round/Time".
constexpr uint64_t kRoundSeqAlias = kRoundTimeAlias + 1;

// The round's time of a record: its local-time stamp as milliseconds since
// the epoch, UTC (the unit's time zone applied). 0 for an impossible stamp.
uint64_t round_time_ms(const unsigned char* record);

// NBIRTH: bdSeq, "Node Control/Rebirth" (false); seq is 0 by the rule.
Bytes node_birth(uint64_t now_ms, uint64_t bd_seq);
// NDEATH (the MQTT will): bdSeq only, no seq.
Bytes node_death(uint64_t bd_seq);

// What a device's point looked like in the last record published for it.
struct DeviceState {
  std::vector<unsigned char> record;  // empty: nothing published yet
  std::vector<uint32_t> statuses;     // per point; empty: all Good
};

// DBIRTH: every point by name and alias with its datatype, value and the
// round's timestamp from `record`, plus "Round/Time" and "Round/Seq"
// (`round_seq`); statuses from `report` when given (a point not Good carries
// its "Quality").
Bytes device_birth(uint64_t now_ms, uint8_t seq, const unsigned char* record, uint64_t round_seq,
                   const qrn_report::RoundReport* report);

// DDATA: "Round/Time", "Round/Seq" and, by alias, every point whose value or
// status differs from `previous` (all points when previous.record is empty).
// `historical` marks every metric is_historical. `previous` is updated to
// this record and its statuses.
Bytes device_data(uint64_t now_ms, uint8_t seq, const unsigned char* record, uint64_t round_seq,
                  const qrn_report::RoundReport* report, bool historical, DeviceState& previous);

// DDEATH of a device.
Bytes device_death(uint64_t now_ms, uint8_t seq);

// After a DBIRTH of `record`: `state` remembers it as the last published.
void remember(DeviceState& state, const unsigned char* record,
              const qrn_report::RoundReport* report);

// A received NCMD: a rebirth request, another command (`what` names it), or
// a payload that is too large or does not decode (`what` says why).
enum class Command { Rebirth, Other, Invalid };
Command decode_node_command(const unsigned char* bytes, std::size_t size, std::string& what);

// ---- Reading payloads back: subscribers, tests and the benchmark ----

// Sparkplug B DataType numbers used here.
namespace datatype {
constexpr uint32_t Int16 = 2, UInt8 = 5, UInt32 = 7, UInt64 = 8, Float = 9, Boolean = 11,
                   String = 12, DateTime = 13;
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
  std::vector<Metric> metrics;

  const Metric* metric(const std::string& name) const;  // the first by that name
};

// "Round/Time" of a payload, by name or by its alias; null when absent.
const Metric* round_time_metric(const Payload& payload);
// "Round/Seq" of a payload, by name or by its alias; null when absent.
const Metric* round_seq_metric(const Payload& payload);

// False (and `out` unspecified) when the bytes are not a Sparkplug B payload.
bool decode_payload(const unsigned char* bytes, std::size_t size, Payload& out);

// Writes a decoded DBIRTH or DDATA of device `device_id` into `record`, a
// 7001-byte image of its record: the id, each point's field by alias (by
// name when sent without one), the stamp from "Round/Time" ("Round/Seq" is
// no part of the record and is passed over). Metrics are
// applied in the payload's order; a null metric leaves its field alone.
// Bytes that no point covers keep what the image held. False, with `error`
// naming the metric, when a metric is no point of the table or its value
// does not fit the field; the metrics before it are applied.
bool apply_to_record(const Payload& payload, uint32_t device_id, unsigned char* record,
                     std::string& error);

}  // namespace sparkplug
