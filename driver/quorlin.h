#pragma once

#include "batch_read.h"
#include "log_options.h"
#include "opcua_session.h"
#include "quorlin_data.h"
#include "record.h"
#include "sized_stack_thread.h"
#include "round_reporter.h"
#include "security.h"
#include "slow_round.h"
#include "session_keeper.h"
#include "uni_data_device.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// Seconds between the end of a round and the start of the next: the round
// period the host side knows too.
constexpr int kRoundPauseSeconds = static_cast<int>(qrn_record::kRoundPeriod.count());

// The cooling-plant driver: a record device whose own thread reads the plant
// controller over OPC UA every five seconds.
class Quorlin : public UniDataDevice<Quorlin_Data_t, QRNSocketDevice, 5156> {
 public:
  Quorlin();
  ~Quorlin() override;

  int InitSetting(const Json::Value& settings) override;
  int process_data(int socket, unsigned char* data, int length) override;
  int RefreshStatus() override;
  void RunCheckThreshold() override;

  // The sampling thread's body: a round, then a five-second pause, until the
  // device is destroyed.
  void sample_data(void* arg);
  // One sampling round, then its report when the settings ask for one
  // (sampling_round.cpp).
  void do_sample();

 protected:
  // Stale: a session kept from an earlier round turned out gone at the
  // round's first result; nothing was written or said.
  enum class ReadOutcome { Done, Abandoned, Stale };
  // Reads every point into `work`, one by one or batched as the settings say
  // (point_reader.cpp).
  ReadOutcome read_points(ClientSession& session, Quorlin_Data_t& work, bool* written);
  // Reads the settings and applies them, all but the round report's data id
  // (InitSetting's, without the security).
  void apply_read_settings(const Json::Value& settings);
  // How the rounds read, log and keep their session from now on.
  void apply_settings(const DriverSettings& settings);

 private:
  enum class PointStep { Next, Abandon };
  // The status rule every read point goes through, in table order; packs
  // its value into the working copy (record_packer.cpp).
  // A dropped channel costs the point alone when `may_recover` (single reads:
  // the batched reader recovers by itself) and the session can reconnect.
  PointStep settle_point(ClientSession& session, std::size_t index, UA_StatusCode status,
                         UA_Variant& value, unsigned char* fields, bool* written,
                         bool may_recover = false);
  void commit_round(const Quorlin_Data_t& work, const bool* written);
  // Whether a bad first result on a reused session means it broke since the
  // last round; only the round's first result is checked.
  bool stale(ClientSession& session, UA_StatusCode status);
  // The round's outcome: Good when a record was handed over, else why not.
  UA_StatusCode sample_round();
  // Hands the host the round's report.
  void send_round_report(UA_StatusCode outcome);
  // Waits up to `seconds`; returns false as soon as the device is stopping.
  bool pause(int seconds);
  void stop_sampling();

  SizedStackThread sampler_;
  std::atomic<bool> stopping_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
  std::string refused_address_;  // the last address refused, said once
  std::atomic<uint32_t> batch_cap_{0};  // nodes per batched Read; 0: single reads
  BatchReader batch_;
  SlowRoundNotice slow_round_;
  std::atomic<bool> log_changes_{false};  // "log": "changes" in appSetting
  FailureLog failures_;                   // each point's last status
  std::atomic<bool> keep_session_{false};
  SessionKeeper sessions_{&stopping_};
  bool probe_ = false;  // the round's first result is still to be checked
  bool stale_ = false;  // it was, and the session had broken
  ConnectNotice connect_notice_;
  UA_StatusCode lost_status_ = UA_STATUSCODE_GOOD;  // the status that ended a round early

 protected:
  DeviceSecurity security_;  // the "opcua" settings, applied to every round
  RoundReporter report_;     // the round's point statuses, when reports are on
};
