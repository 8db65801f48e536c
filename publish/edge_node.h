#pragma once

// The host as a Sparkplug B edge node: the records saved in the history are
// published to an MQTT broker from the history itself (the spool), so that
// only what was saved goes out and nothing saved is lost across outages and
// restarts. One thread of its own reads the spool and publishes; the broker
// link has its own.
#include "history.h"
#include "publish_status.h"
#include "sparkplug_session.h"
#include "sparkplug_settings.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SpoolPublisher;

class EdgeNode {
 public:
  // `history_path`: the history file, the spool. `log` says the node's lines.
  EdgeNode(std::string history_path, EdgeLog log);
  ~EdgeNode();
  EdgeNode(const EdgeNode&) = delete;
  EdgeNode& operator=(const EdgeNode&) = delete;

  // Starts, restarts (a changed section or device list: a new connection
  // with the new settings) or stops (`config` null) publishing, for
  // `devices`. False with a reason when the history cannot serve as the spool.
  bool apply(const SparkplugConfig* config, const std::vector<uint32_t>& devices,
             std::string& error);
  // Says NDEATH and disconnects.
  void stop();

  // A device's record stored under `data_id` (not one restored at start),
  // and a device's round report: taken at the publishing thread's next turn;
  // both return at once.
  void stored(uint32_t device_id, int data_id);
  void report(uint32_t device_id, const std::vector<unsigned char>& bytes);
  // The history committed `rows`: the publishing thread reads the devices'
  // new ones (and asks the file for no others).
  void wake(const std::vector<CommittedRow>& rows);

  // Unpublished records retention deleted: counted and said by the caller.
  void dropped(uint64_t n) { dropped_ += n; }

  PublishStatus status() const;

 private:
  bool running_ = false;
  SparkplugConfig config_;
  std::vector<uint32_t> devices_;
  const std::string history_path_;
  const EdgeLog log_;
  mutable std::mutex node_mutex_;  // node_ itself: the sinks' threads read it
  std::unique_ptr<SpoolPublisher> node_;
  std::atomic<uint64_t> dropped_{0};
};
