#pragma once

// One device's sampling round: connect (or reuse the kept session), read
// every point, settle each result, pack the record and hand it to the
// device, then the round's report. Its state lasts from round to round.
#include "batch_read.h"
#include "log_options.h"
#include "opcua_session.h"
#include "record.h"
#include "record_packer.h"
#include "round_host.h"
#include "round_reporter.h"
#include "security.h"
#include "session_keeper.h"
#include "settings_schema.h"
#include "slow_round.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Seconds between the end of a round and the start of the next: the round
// period the host side knows too.
constexpr int kRoundPauseSeconds = static_cast<int>(qrn_record::kRoundPeriod.count());

// Owned by one device; its rounds run on one thread at a time. The settings,
// security and report id may be set from a host thread at any time.
class SamplingRound {
 public:
  // Stale: a session kept from an earlier round turned out gone at the
  // round's first result; nothing was written or said.
  enum class ReadOutcome { Done, Abandoned, Stale };

  // `stopping` is the device's stop flag: set, the round ends between reads.
  SamplingRound(RoundHost& host, const std::atomic<bool>& stopping);
  SamplingRound(const SamplingRound&) = delete;
  SamplingRound& operator=(const SamplingRound&) = delete;

  // How the rounds read, log and keep their session from now on (all of the
  // settings but the report's data id).
  void apply(const DriverSettings& settings);
  void set_report_id(uint32_t data_id) { report_.set_data_id(data_id); }
  // The "opcua" settings, applied to every round.
  DeviceSecurity& security() { return security_; }

  // One round against `target`, then its report when the settings ask for one.
  void run(const RoundTarget& target);
  // Reads every point into `work` on a connected session, one by one or
  // batched as the settings say (point_reader.cpp).
  ReadOutcome read_points(ClientSession& session, WorkingRecord& work);
  // Closes the kept session, if any (the device is stopping).
  void close_session() { sessions_.close(); }

 private:
  enum class PointStep { Next, Abandon };
  // The round's outcome: Good when a record was handed over, else why not.
  UA_StatusCode sample(const RoundTarget& target);
  // Whether the round may connect to `address`; a refused one is said once.
  bool address_allowed(const std::string& address);
  // Reads on a session acquired for the round; Stale asks for a new session.
  // `reused`: the session was kept from an earlier round.
  UA_StatusCode read_on(ClientSession& session, bool reused, SessionLease& lease,
                        WorkingRecord& work, bool* stale);
  void send_report(UA_StatusCode outcome);

  // The rule every read result goes through, in table order (point_result.cpp):
  // a value is packed; a Bad status fails the point, or the session.
  PointStep settle_point(ClientSession& session, std::size_t index, UA_StatusCode status,
                         UA_Variant& value, WorkingRecord& work, bool may_recover = false);
  // A dropped channel costs the point alone when `may_recover` (single reads:
  // the batched reader recovers by itself) and the session can reconnect;
  // else the session is lost and the round ends.
  PointStep session_failed(ClientSession& session, std::size_t index, UA_StatusCode status,
                           bool may_recover);
  // Whether a bad first result on a reused session means it broke since the
  // last round; only the round's first result is checked.
  bool stale(ClientSession& session, UA_StatusCode status);
  // The reads of point_reader.cpp.
  ReadOutcome read_batched(ClientSession& session, WorkingRecord& work, uint32_t cap);
  ReadOutcome read_single(ClientSession& session, WorkingRecord& work);

  RoundHost& host_;
  const std::atomic<bool>& stopping_;
  uint32_t device_id_ = 0;  // the round's target's
  // The settings, set by a host thread, read by the rounds.
  std::atomic<uint32_t> batch_cap_{0};  // nodes per batched Read; 0: single reads
  std::atomic<bool> log_changes_{false};  // "log": "changes" in appSetting
  std::atomic<bool> keep_session_{false};
  std::atomic<bool> round_lines_{true};
  DeviceSecurity security_;
  RoundReporter report_;  // the round's point statuses, when reports are on

  std::string refused_address_;  // the last address refused, said once
  BatchReader batch_;
  SlowRoundNotice slow_round_;
  FailureLog failures_;  // each point's last status
  SessionKeeper sessions_;
  ConnectNotice connect_notice_;
  bool probe_ = false;  // the round's first result is still to be checked
  bool stale_ = false;  // it was, and the session had broken
  UA_StatusCode lost_status_ = UA_STATUSCODE_GOOD;  // the status that ended a round early
};
