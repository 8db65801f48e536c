// One sampling round: connect (or reuse the kept session), read every point,
// hand the record to the device, then the round's report.
#include "sampling_round.h"

#include "endpoint.h"
#include "log.h"

#include <string>

SamplingRound::SamplingRound(RoundHost& host, const std::atomic<bool>& stopping)
    : host_(host), stopping_(stopping), sessions_(&stopping) {}

void SamplingRound::apply(const DriverSettings& settings) {
  batch_cap_ = settings.batch_cap;
  log_changes_ = settings.log_changes;
  keep_session_ = settings.session == SessionMode::Keep;
  round_lines_ = settings.round_lines;
}

void SamplingRound::run(const RoundTarget& target) {
  device_id_ = target.device_id;
  report_.begin();
  const UA_StatusCode outcome = sample(target);
  if (report_.active() && outcome != UA_STATUSCODE_BADSHUTDOWN) send_report(outcome);
}

bool SamplingRound::address_allowed(const std::string& address) {
  if (is_valid_address(address)) {
    refused_address_.clear();
    return true;
  }
  // Said once per address: a spliced or garbled address is never connected to.
  if (address != refused_address_)
    log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": address \"" +
                 printable_address(address) +
                 "\" is not a host name, IPv4 or IPv6 address; not connecting",
             LogPriority::Warning);
  refused_address_ = address;
  return false;
}

UA_StatusCode SamplingRound::sample(const RoundTarget& target) {
  if (round_lines_) log_line("Quorlin::do_sample");
  if (target.address.empty() || !address_allowed(target.address))
    return UA_STATUSCODE_BADCONFIGURATIONERROR;
  // A settings problem was said by InitSetting; nothing is read until it is corrected.
  const RoundSecurity security = security_.for_round();
  if (security.held()) return UA_STATUSCODE_BADCONFIGURATIONERROR;

  const std::string url = endpoint_url(target.address, target.port);
  const SessionMode mode = keep_session_ ? SessionMode::Keep : SessionMode::Round;
  // The round fills a working copy and commits it in one step, so the host
  // never meets a half-written record and a lost session hands nothing over.
  WorkingRecord work;
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
    bool stale = false;
    status = read_on(*session, reused, lease, work, &stale);
    if (!stale) return status;
  }
  return UA_STATUSCODE_BADINTERNALERROR;  // not reached: the loop returns
}

UA_StatusCode SamplingRound::read_on(ClientSession& session, bool reused, SessionLease& lease,
                                     WorkingRecord& work, bool* stale) {
  probe_ = reused;
  stale_ = false;
  batch_.set_items(sessions_.registered());
  lost_status_ = UA_STATUSCODE_BADSHUTDOWN;
  const ReadOutcome outcome = read_points(session, work);
  if (sessions_.registered() != nullptr && batch_.items() != sessions_.registered())
    sessions_.forget_registered();  // reconnected within the round
  *stale = outcome == ReadOutcome::Stale;
  if (outcome != ReadOutcome::Done) {
    lease.broken();
    return lost_status_;
  }
  if (log_changes_)
    log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": " +
             std::to_string(failures_.failing()) + " points failing");
  if (!work.any_written()) {
    // Handing over last round's values under a fresh stamp would pass them off as read.
    log_line("Quorlin::do_sample no point could be read", LogPriority::Warning);
    return UA_STATUSCODE_BADNODATA;
  }
  host_.commit(work);
  report_.committed();
  return UA_STATUSCODE_GOOD;
}

void SamplingRound::send_report(UA_StatusCode outcome) {
  qrn_report::RoundReport report = report_.finish(outcome);
  report.device_id = device_id_;
  report.read_mode = batch_cap_ != 0 ? 1 : 0;
  report.session_mode = keep_session_ ? 1 : 0;
  report.security_mode = static_cast<uint8_t>(security_.for_round().mode());
  host_.send_report(report_.data_id(), report, outcome == UA_STATUSCODE_GOOD);
}
