#pragma once

#include "quorlin_data.h"
#include "round_host.h"
#include "sampling_round.h"
#include "sized_stack_thread.h"
#include "uni_data_device.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

// The cooling-plant driver: a record device whose own thread reads the plant
// controller over OPC UA every five seconds. The round itself is a
// SamplingRound; the device keeps the host's side: settings, the thread and
// its pause, and handing the round's record and report over.
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
  // One sampling round, then its report when the settings ask for one.
  void do_sample();

  // Where a round built for this device hands its record and report: the
  // device's own round does, and so may one built apart (tests).
  RoundHost& round_host() { return hand_over_; }
  // The controller as the device knows it now.
  RoundTarget round_target() const { return {device_id_, server_ip_, server_port_}; }
  // The device's record as it stands, taken under the round's lock.
  std::vector<unsigned char> record();

 protected:
  // Reads the settings and applies them, all but the round report's data id
  // (InitSetting's, without the security).
  void apply_read_settings(const Json::Value& settings);
  // How the rounds read, log and keep their session from now on.
  void apply_settings(const DriverSettings& settings);
  SamplingRound& round() { return round_; }

 private:
  // The round's results reach the device through this alone.
  class HandOver final : public RoundHost {
   public:
    explicit HandOver(Quorlin& device) : device_(device) {}
    void commit(const WorkingRecord& work) override { device_.commit_round(work); }
    void send_report(uint32_t data_id, qrn_report::RoundReport& report,
                     bool handed_over) override {
      device_.send_round_report(data_id, report, handed_over);
    }

   private:
    Quorlin& device_;
  };

  void commit_round(const WorkingRecord& work);
  void send_round_report(uint32_t data_id, qrn_report::RoundReport& report, bool handed_over);
  // Waits up to `seconds`; returns false as soon as the device is stopping.
  bool pause(int seconds);
  void stop_sampling();

  SizedStackThread sampler_;
  std::atomic<bool> stopping_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
  HandOver hand_over_{*this};
  SamplingRound round_{hand_over_, stopping_};
};
