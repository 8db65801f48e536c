#pragma once

// Retention of the history file on a thread of its own: a pass at once, then
// one every interval. Without a size limit the disk budget applies (at most
// half of the file system, a tenth of it left free). The deletes themselves,
// their batches, the history gate they hold and the WAL bound they keep are
// record/history_retention.h's.
#include "history_gauges.h"
#include "history_retention.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class EdgeNode;

class Retention {
 public:
  Retention() = default;
  ~Retention() { stop(); }
  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  // Opens the history file (which the host holds) and starts the thread: a
  // pass at once, then one every `interval_seconds`. False with a reason.
  bool start(const std::string& path, RetentionLimits limits, unsigned interval_seconds,
             std::mutex* gate, std::string& error);
  // Where unpublished records deleted by the size limit are counted; set
  // before start.
  void set_publisher(EdgeNode* publisher) { publisher_ = publisher; }
  // Ends the pass under way after its current batch and joins the thread.
  void stop();
  HistoryGauges gauges() const;

 private:
  void run(unsigned interval_seconds);
  bool wait_seconds(unsigned seconds);  // false once stopping
  // The gauges after a pass; `last_seq` and `last_at` carry the previous
  // pass's newest row and time.
  void update_gauges(uint64_t keep_bytes, int64_t& last_seq,
                     std::chrono::steady_clock::time_point& last_at);

  // A row saved this long after now is a clock that was ahead.
  static constexpr std::chrono::hours kClockAhead{24};

  HistoryPruner pruner_;
  RetentionLimits limits_;
  std::mutex* gate_ = nullptr;
  EdgeNode* publisher_ = nullptr;
  std::thread thread_;
  mutable std::mutex mutex_;  // and gauges_
  std::condition_variable cv_;
  HistoryGauges gauges_;
  std::atomic<bool> stopping_{false};
};
