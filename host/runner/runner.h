#pragma once

// The devices' rounds as the host sees them: each record or round report a
// device hands over is counted, said in a line and handed to the record
// sinks; the run waits here for its rounds, a signal or a reload.
#include "config.h"
#include "host_stub.h"
#include "options.h"
#include "qrn_device.h"
#include "record.h"
#include "record_sinks.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct DeviceSlot {
  uint32_t id = 0;
  DeviceConfig config;  // the entry it was made from, compared on reload
  std::unique_ptr<QRNSocketDevice> device;
  unsigned long rounds = 0;  // records handed over so far
  unsigned long failed_rounds = 0;  // rounds that handed nothing over
  uint32_t last_failure = 0;        // the outcome of the last of them
  unsigned long ended = 0;   // rounds of its own ended (a restored record is not one)
  bool round_lines = true;   // its "device N round N ..." line
  int data_id = qrn_record::kDataId;
  int report_id = 0;         // its round reports' data id; 0: none
  bool restoring = false;    // its stored record is being handed back
  bool remade = false;       // ran before in this run: its restored record is no new round
};

// Everything the hook touches; the hook runs on the devices' threads (and on
// the main thread for a restored record), serialised by `mutex`, and so are
// the sinks. A record that a sink cannot keep is reported and counted;
// sampling goes on.
class Runner {
 public:
  Runner(const Options& options, RecordSinks& sinks) : options_(options), sinks_(sinks) {}

  void add(DeviceSlot* slot);
  // Forgets a device once it is deleted (its last round's events are in).
  void remove(const QRNVDevice* device);

  void on_event(const qrn_host::Event& e);

  void request_reload();
  // Whether a reload was asked for since the last call.
  bool take_reload();
  void request_stop(int signal);
  int stop_signal();

  // Until every device has made the rounds --rounds or --once asks for, a
  // stop signal came, a reload was asked for or `deadline` passed.
  void wait(std::optional<std::chrono::steady_clock::time_point> deadline);
  // Waits until `when`; false as soon as a signal came.
  bool pause_until(std::chrono::steady_clock::time_point when);

  // One line per device whose rounds handed nothing over, or that made none
  // of its own with --once; empty when every round handed a record over.
  std::vector<std::string> round_failures();

  void set_restoring(DeviceSlot& slot, bool on);

  // See RecordSinks::failures and RecordSinks::losses.
  std::pair<unsigned long, unsigned long> failures();
  std::string losses();

 private:
  bool reached(const DeviceSlot& slot) const;
  std::string handed_over(DeviceSlot& slot, const qrn_host::Event& e);
  void round_ended(DeviceSlot& slot, const qrn_host::Event& e);

  const Options& options_;
  RecordSinks& sinks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<const QRNVDevice*, DeviceSlot*> slots_;
  int stop_signal_ = 0;
  bool reload_ = false;
};
