// A round's reads: every point in table order, one Read per point or batched,
// each result through the same rule.
#include "sampling_round.h"

#include "log.h"
#include "point_table.h"

#include <chrono>
#include <string>

namespace {

// A read's outcome for the point `name`: any status but Good writes
// "ReadVariant <name> failed"; the value is moved out of the DataValue, which
// is cleared, and dropped with a Bad status (it is not a value of the point).
// With `say` false the line is left out (the "changes" mode said it already).
UA_Variant take_read_value(const char* name, UA_StatusCode rc, UA_DataValue& value,
                           bool say = true) {
  if (rc != UA_STATUSCODE_GOOD && say)
    log_line(std::string("ReadVariant ") + name + " failed", LogPriority::Warning);
  UA_Variant result = value.value;
  UA_Variant_init(&value.value);
  UA_DataValue_clear(&value);
  if (UA_StatusCode_isBad(rc)) UA_Variant_clear(&result);
  return result;
}

}  // namespace

SamplingRound::ReadOutcome SamplingRound::read_points(ClientSession& session,
                                                      WorkingRecord& work) {
  session.new_round();
  if (const uint32_t cap = batch_cap_) return read_batched(session, work, cap);
  return read_single(session, work);
}

SamplingRound::ReadOutcome SamplingRound::read_batched(ClientSession& session,
                                                       WorkingRecord& work, uint32_t cap) {
  // Each batched result meets the same rule as a single read's, in order.
  struct Sink final : PointSink {
    SamplingRound& round;
    ClientSession& session;
    WorkingRecord& work;
    Sink(SamplingRound& r, ClientSession& s, WorkingRecord& w) : round(r), session(s), work(w) {}
    Step take(std::size_t i, UA_StatusCode status, UA_DataValue& dv) override {
      if (round.stopping_ || round.stale(session, status)) {
        UA_DataValue_clear(&dv);
        return Step::Abandon;
      }
      UA_Variant value = take_read_value(quorlin_points[i].name, status, dv,
                                         round.failures_.should_say(i, status, round.log_changes_));
      return round.settle_point(session, i, status, value, work) == PointStep::Next
                 ? Step::Next
                 : Step::Abandon;
    }
  } sink(*this, session, work);
  if (batch_.read(session, cap, device_id_, sink) == BatchReader::Outcome::Done)
    return ReadOutcome::Done;
  return stale_ ? ReadOutcome::Stale : ReadOutcome::Abandoned;
}

SamplingRound::ReadOutcome SamplingRound::read_single(ClientSession& session,
                                                      WorkingRecord& work) {
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (stopping_) return ReadOutcome::Abandoned;
    UA_DataValue dv;
    UA_DataValue_init(&dv);
    const char* name = quorlin_points[i].name;
    // The library takes a non-const pointer for string node ids but only reads it.
    const UA_StatusCode status =
        session.read_value(UA_NODEID_STRING(1, const_cast<char*>(name)), &dv);
    if (stale(session, status)) {
      UA_DataValue_clear(&dv);
      return ReadOutcome::Stale;
    }
    UA_Variant value =
        take_read_value(name, status, dv, failures_.should_say(i, status, log_changes_));
    if (settle_point(session, i, status, value, work, true) != PointStep::Next)
      return ReadOutcome::Abandoned;
  }
  const std::string slow = slow_round_.after_round(
      device_id_,
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                            started),
      std::chrono::seconds(kRoundPauseSeconds));
  if (!slow.empty()) log_line(slow, LogPriority::Warning);
  return ReadOutcome::Done;
}
