// One sampling round: connect (or reuse the kept session), read every point,
// pack the record and hand it over, then the round's report.
#include "quorlin.h"

#include "endpoint.h"
#include "log.h"
#include "point_table.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

void Quorlin::do_sample() {
  report_.begin();
  const UA_StatusCode outcome = sample_round();
  if (report_.active() && outcome != UA_STATUSCODE_BADSHUTDOWN) send_round_report(outcome);
}

UA_StatusCode Quorlin::sample_round() {
  if (round_lines_) log_line("Quorlin::do_sample");
  if (server_ip_.empty()) return UA_STATUSCODE_BADCONFIGURATIONERROR;
  const std::string address = server_ip_;
  if (!is_valid_address(address)) {
    // Said once per address: a spliced or garbled address is never connected to.
    if (address != refused_address_)
      log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": address \"" +
               printable_address(address) +
               "\" is not a host name, IPv4 or IPv6 address; not connecting",
               LogPriority::Warning);
    refused_address_ = address;
    return UA_STATUSCODE_BADCONFIGURATIONERROR;
  }
  refused_address_.clear();
  // A settings problem was said by InitSetting; nothing is read until it is corrected.
  const RoundSecurity security = security_.for_round();
  if (security.held()) return UA_STATUSCODE_BADCONFIGURATIONERROR;

  const std::string url = endpoint_url(address, server_port_);
  const SessionMode mode = keep_session_ ? SessionMode::Keep : SessionMode::Round;
  // The round fills a working copy and commits it in one step, so the host
  // never meets a half-written record and a lost session hands nothing over.
  auto work = std::make_unique<Quorlin_Data_t>();
  auto written = std::make_unique<bool[]>(kQuorlinPointCount);
  // A kept session that broke since the last round is replaced, and the
  // round read on the new one, as a session of its own would have been.
  for (bool reused = true; reused;) {
    // Releases the session on every path, including a host service that throws.
    SessionLease lease(sessions_);
    UA_StatusCode status = UA_STATUSCODE_BADOUTOFMEMORY;
    std::string reason;
    ClientSession* session =
        sessions_.acquire(mode, security, url, batch_cap_ != 0, &reused, &status, &reason);
    if (session == nullptr) {
      if (status != UA_STATUSCODE_BADSHUTDOWN)
        connect_notice_.failed(device_id_, url, status, reason);
      return status;
    }
    if (!reused) connect_notice_.connected(device_id_);
    probe_ = reused;
    stale_ = false;
    batch_.set_items(sessions_.registered());
    lost_status_ = UA_STATUSCODE_BADSHUTDOWN;
    const ReadOutcome outcome = read_points(*session, *work, written.get());
    if (sessions_.registered() != nullptr && batch_.items() != sessions_.registered())
      sessions_.forget_registered();  // reconnected within the round
    if (outcome == ReadOutcome::Stale) {
      lease.broken();
      continue;
    }
    if (outcome != ReadOutcome::Done) {
      lease.broken();
      return lost_status_;
    }
    if (log_changes_)
      log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": " +
               std::to_string(failures_.failing()) + " points failing");
    if (std::none_of(written.get(), written.get() + kQuorlinPointCount,
                     [](bool w) { return w; })) {
      // Handing over last round's values under a fresh stamp would pass them off as read.
      log_line("Quorlin::do_sample no point could be read", LogPriority::Warning);
      return UA_STATUSCODE_BADNODATA;
    }
    commit_round(*work, written.get());
    return UA_STATUSCODE_GOOD;
  }
  return UA_STATUSCODE_BADINTERNALERROR;  // not reached: the loop returns
}

bool Quorlin::stale(ClientSession& session, UA_StatusCode status) {
  if (!probe_) return false;
  probe_ = false;
  stale_ = UA_StatusCode_isBad(status) && !stopping_ &&
           (session_lost_status(status) || !session.activated());
  return stale_;
}

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
