// Packing a round's record: each read value into its field of the working
// copy, then the points read into the device's record in one step.
#include "quorlin.h"

#include "log.h"
#include "point_table.h"
#include "value_copy.h"

#include <cstring>
#include <mutex>
#include <string>

Quorlin::PointStep Quorlin::settle_point(ClientSession& session, std::size_t i,
                                         UA_StatusCode status, UA_Variant& value,
                                         unsigned char* fields, bool* written, bool may_recover) {
  const QuorlinPoint& point = quorlin_points[i];
  if (UA_StatusCode_isBad(status)) {
    if (stopping_) return PointStep::Abandon;
    if (session_lost_status(status) || !session.activated()) {
      if (may_recover && session.recover(status)) {
        report_.point(i, status, false);
        return PointStep::Next;
      }
      session.mark_lost();
      lost_status_ = status;
      report_.point(i, status, false);
      log_line(std::string("Quorlin::do_sample session lost at ") + point.name + ": " +
               UA_StatusCode_name(status),
               LogPriority::Warning);
      return PointStep::Abandon;
    }
    report_.point(i, status, false);
    return PointStep::Next;
  }
  // Good with info bits and Uncertain values are kept; their line is out already.
  written[i] = copy_value_to_field(value, fields + point.offset, point.width);
  if (!written[i] && status == UA_STATUSCODE_GOOD)
    log_line(std::string("ReadVariant ") + point.name + " returned no numeric value",
             LogPriority::Warning);
  report_.point(i, status, written[i]);
  UA_Variant_clear(&value);
  return PointStep::Next;
}

void Quorlin::commit_round(const Quorlin_Data_t& work, const bool* written) {
  const unsigned char* from = reinterpret_cast<const unsigned char*>(&work);
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  unsigned char* to = record_bytes();
  // The id is the device's own, whatever a loaded cache carried.
  write_device_id();
  // In table order, so a later point sharing bytes with an earlier one wins.
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (!written[i]) continue;
    const QuorlinPoint& point = quorlin_points[i];
    std::memcpy(to + point.offset, from + point.offset, point.width);
  }
  RoundDone();
}
