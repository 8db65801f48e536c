#pragma once

// The driver's side of the round report (record/round_report.h): each
// point's status as the round meets it, and the report built at its end.
#include "round_report.h"

#include <json/value.h>
#include <open62541/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

// Collects one round's point statuses; used by the sampling thread only,
// but its data id is set by InitSetting on a host thread.
class RoundReporter {
 public:
  void set_data_id(uint32_t id) { data_id_ = id; }
  uint32_t data_id() const { return data_id_; }

  // Starts a round; only the types are collected while reports are off.
  void begin();
  // The status a point's read came with and the built-in type of the value
  // written into its field (0: none); a value that is not Bad but was not
  // written (not numeric) counts as BadTypeMismatch.
  void point(std::size_t index, UA_StatusCode status, uint8_t written_type) {
    // Types are kept with reports off too, for when they come on.
    if (index < round_types_.size()) round_types_[index] = written_type;
    if (!active_) return;
    statuses_[index] = !UA_StatusCode_isBad(status) && written_type == 0
                           ? UA_STATUSCODE_BADTYPEMISMATCH
                           : status;
    reached_[index] = 1;
  }
  bool active() const { return active_; }
  // The round's fields reached the device's record: their types are what
  // the record holds from now on.
  void committed();
  // The round's report; the points the round never reached take `outcome`.
  // Its types are those of the device's record.
  qrn_report::RoundReport finish(UA_StatusCode outcome);

 private:
  std::atomic<uint32_t> data_id_{0};
  bool active_ = false;
  std::chrono::steady_clock::time_point start_;
  std::vector<uint32_t> statuses_;
  std::vector<unsigned char> reached_;
  std::vector<uint8_t> round_types_;   // of the values this round wrote
  std::vector<uint8_t> record_types_;  // of the values the record holds; kept across rounds
};

// Says why a device cannot connect without repeating it every round: one
// line when the reason first appears or changes, then at most one line per
// interval with the rounds that failed since; one line when it connects again.
class ConnectNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kInterval{10};

  // `line` is the reason's own line when there is one (a secure connection's).
  void failed(uint32_t device_id, const std::string& url, UA_StatusCode status,
              const std::string& line = {}, Clock::time_point now = Clock::now());
  void connected(uint32_t device_id);

 private:
  UA_StatusCode last_ = UA_STATUSCODE_GOOD;
  Clock::time_point said_at_;
  uint64_t since_said_ = 0;  // failed rounds since the last line
  uint64_t failed_ = 0;      // failed rounds in a row
};
