#pragma once

// Sparkplug B payloads of the edge node: what each message carries, encoded
// with protobuf. Pure functions of the records and round reports given; the
// edge node (connection, sequence numbers, spool) lives elsewhere.
#include "round_report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sparkplug {

using Bytes = std::vector<unsigned char>;

// Payloads larger than this are refused when received (node commands).
constexpr std::size_t kMaxCommandBytes = 64 * 1024;

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
// round's timestamp from `record`, plus "Round/Time"; statuses from `report`
// when given (a point not Good carries its "Quality").
Bytes device_birth(uint64_t now_ms, uint8_t seq, const unsigned char* record,
                   const qrn_report::RoundReport* report);

// DDATA: "Round/Time" and, by alias, every point whose value or status
// differs from `previous` (all points when previous.record is empty).
// `historical` marks every metric is_historical. `previous` is updated to
// this record and its statuses.
Bytes device_data(uint64_t now_ms, uint8_t seq, const unsigned char* record,
                  const qrn_report::RoundReport* report, bool historical, DeviceState& previous);

// DDEATH of a device.
Bytes device_death(uint64_t now_ms, uint8_t seq);

// A received NCMD: a rebirth request, another command (`what` names it), or
// a payload that is too large or does not decode (`what` says why).
enum class Command { Rebirth, Other, Invalid };
Command decode_node_command(const unsigned char* bytes, std::size_t size, std::string& what);

}  // namespace sparkplug
