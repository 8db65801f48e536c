#pragma once

// Retention of the history file: a thread of its own deletes the oldest
// records beyond an age or a size, in small batches on a connection of its
// own. Each batch holds the host's history gate, which the host's saves
// (records and round reports) hold too, so the two never meet on SQLite's
// lock: a save waits at most for one small batch, never for a checkpoint.
// While a reader holds back the WAL's checkpoint the pass waits instead of
// growing the WAL.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

struct RetentionLimits {
  unsigned long keep_days = 0;  // 0: no age limit
  uint64_t keep_bytes = 0;      // 0: no size limit
  bool any() const { return keep_days > 0 || keep_bytes > 0; }
};

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
  // Ends the pass under way after its current batch and joins the thread.
  void stop();

  // One pass: records older than the age limit, then the oldest records while
  // the file's used pages exceed the size limit, then the freed pages returned
  // to the file system. Returns the records deleted; `error` on failure.
  static unsigned long prune(sqlite3* db, RetentionLimits limits, const std::string& cutoff,
                             const std::atomic<bool>* stopping, std::mutex* gate,
                             std::string& error);

 private:
  void run(unsigned interval_seconds);
  bool wait_seconds(unsigned seconds);  // false once stopping

  sqlite3* db_ = nullptr;
  RetentionLimits limits_;
  std::mutex* gate_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> stopping_{false};
};

// The local time `days` days ago as history's saved_at text.
std::string local_time_days_ago(unsigned long days);
