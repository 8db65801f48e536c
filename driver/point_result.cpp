// The rule every point's read result meets, in table order, whatever the
// read mode: a value is packed into the working copy; a Bad status fails the
// point, or, when the session is gone, the round.
#include "sampling_round.h"

#include "log.h"
#include "point_table.h"

#include <string>

SamplingRound::PointStep SamplingRound::settle_point(ClientSession& session, std::size_t i,
                                                     UA_StatusCode status, UA_Variant& value,
                                                     WorkingRecord& work, bool may_recover) {
  if (!UA_StatusCode_isBad(status)) {
    report_.point(i, status, work.pack(i, status, value));
    return PointStep::Next;
  }
  if (stopping_) return PointStep::Abandon;
  if (session_lost_status(status) || !session.activated())
    return session_failed(session, i, status, may_recover);
  report_.point(i, status, 0);
  return PointStep::Next;
}

SamplingRound::PointStep SamplingRound::session_failed(ClientSession& session, std::size_t i,
                                                       UA_StatusCode status, bool may_recover) {
  report_.point(i, status, 0);
  if (may_recover && session.recover(status)) return PointStep::Next;
  session.mark_lost();
  lost_status_ = status;
  log_line(std::string("Quorlin::do_sample session lost at ") + quorlin_points[i].name + ": " +
               UA_StatusCode_name(status),
           LogPriority::Warning);
  return PointStep::Abandon;
}

bool SamplingRound::stale(ClientSession& session, UA_StatusCode status) {
  if (!probe_) return false;
  probe_ = false;
  stale_ = UA_StatusCode_isBad(status) && !stopping_ &&
           (session_lost_status(status) || !session.activated());
  return stale_;
}
