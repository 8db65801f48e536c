#include "round_reporter.h"

#include "log.h"
#include "point_table.h"

#include <exception>
#include <string>

void RoundReporter::begin() {
  round_types_.assign(kQuorlinPointCount, 0);
  record_types_.resize(kQuorlinPointCount, 0);
  active_ = data_id_ != 0;
  if (!active_) return;
  start_ = std::chrono::steady_clock::now();
  statuses_.assign(kQuorlinPointCount, 0);
  reached_.assign(kQuorlinPointCount, 0);
}

void RoundReporter::committed() {
  for (std::size_t i = 0; i < round_types_.size(); ++i)
    if (round_types_[i] != 0) record_types_[i] = round_types_[i];
}

qrn_report::RoundReport RoundReporter::finish(UA_StatusCode outcome) {
  qrn_report::RoundReport report;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count();
  report.duration_ms = ms < 0 ? 0 : ms > 0xffffffffLL ? 0xffffffffu : static_cast<uint32_t>(ms);
  report.outcome = outcome;
  report.statuses = statuses_;
  report.types = record_types_;
  for (std::size_t i = 0; i < report.statuses.size(); ++i)
    if (!reached_[i]) report.statuses[i] = outcome;
  qrn_report::count_statuses(report);
  active_ = false;
  return report;
}

void ConnectNotice::failed(uint32_t device_id, const std::string& url, UA_StatusCode status,
                           const std::string& line, Clock::time_point now) {
  ++failed_;
  ++since_said_;
  const std::string said =
      !line.empty() ? line
                    : "Quorlin::do_sample device " + std::to_string(device_id) +
                          ": cannot connect to " + url + ": " + UA_StatusCode_name(status);
  if (status != last_) {
    log_line(said, LogPriority::Warning);
  } else if (now - said_at_ >= kInterval) {
    log_line(said + " (" + std::to_string(since_said_) + " failed rounds since the last line)",
             LogPriority::Warning);
  } else {
    return;
  }
  last_ = status;
  said_at_ = now;
  since_said_ = 0;
}

void ConnectNotice::connected(uint32_t device_id) {
  if (failed_ != 0)
    log_line("Quorlin::do_sample device " + std::to_string(device_id) + " connected after " +
             std::to_string(failed_) + " failed rounds");
  failed_ = since_said_ = 0;
  last_ = UA_STATUSCODE_GOOD;
}
