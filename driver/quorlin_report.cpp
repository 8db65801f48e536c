// The round report's hand-over, apart from the round itself.
#include "quorlin.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstring>
#include <mutex>

void Quorlin::send_round_report(UA_StatusCode outcome) {
  qrn_report::RoundReport report = report_.finish(outcome);
  report.device_id = device_id_;
  report.read_mode = batch_cap_ != 0 ? 1 : 0;
  report.session_mode = keep_session_ ? 1 : 0;
  report.security_mode = static_cast<uint8_t>(security_.for_round().mode());
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  // The record's own stamp when this round handed one over.
  if (outcome == UA_STATUSCODE_GOOD) {
    std::memcpy(report.stamp, record_bytes() + kStampOffset, sizeof report.stamp);
  } else {
    const RoundStamp now = get_ttime(boost::posix_time::second_clock::local_time());
    std::memcpy(report.stamp, now.bytes, sizeof report.stamp);
  }
  const std::vector<unsigned char> bytes = qrn_report::encode(report);
  SendSP(static_cast<int>(report_.data_id()), bytes.data(),
         static_cast<unsigned int>(bytes.size()), false);
}
