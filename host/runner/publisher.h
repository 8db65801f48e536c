#pragma once

// The host as a Sparkplug B edge node: the records saved in the history are
// published to an MQTT broker from the history itself (the spool), so that
// only what was saved goes out and nothing saved is lost across outages and
// restarts. One thread of its own reads the spool and publishes; the broker
// link has its own.
#include "config.h"
#include "publish_status.h"
#include "record_sinks.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Publisher {
 public:
  explicit Publisher(std::string history_path);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Starts, restarts (a changed section: a new connection with the new
  // settings) or stops publishing as `config` says, for its devices. False
  // with a reason when the history cannot serve as the spool.
  bool apply(const HostConfig& config, std::string& error);
  // Says NDEATH and disconnects.
  void stop();

  // A device's stored record or round report (from the record sinks): wakes
  // the publishing thread; returns at once.
  void take(const Handed& item);
  // The history committed rows: the publishing thread looks for new ones.
  void wake();

  // Unpublished records retention deleted: counted and said by the caller.
  void dropped(uint64_t n) { dropped_ += n; }

  PublishStatus status() const;

 private:
  struct Node;
  bool running_ = false;
  SparkplugConfig config_;
  std::vector<uint32_t> devices_;
  const std::string history_path_;
  mutable std::mutex node_mutex_;  // node_ itself: the sinks' threads read it
  std::unique_ptr<Node> node_;
  std::atomic<uint64_t> dropped_{0};
};

// The record sink that feeds a Publisher (which outlives it).
class PublisherSink : public RecordSink {
 public:
  explicit PublisherSink(Publisher& publisher) : publisher_(publisher) {}
  void take(const Handed& item) override { publisher_.take(item); }

 private:
  Publisher& publisher_;
};
