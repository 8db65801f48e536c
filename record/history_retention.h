#pragma once

// Retention's deletes in the history file: the oldest records beyond an age
// or a size go, in small batches on a connection of its own. Each batch holds
// the host's history gate, which every save (records and round reports) holds
// too, so the two never meet on SQLite's lock: a save waits at most for one
// small batch, never for a checkpoint. While a reader holds back the WAL's
// checkpoint the pass waits instead of growing the WAL.
#include "history_handles.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct RetentionLimits {
  unsigned long keep_days = 0;  // 0: no age limit
  uint64_t keep_bytes = 0;      // 0: no size limit
  bool any() const { return keep_days > 0 || keep_bytes > 0; }
};

class HistoryPruner {
 public:
  // Opens the history file, which another (the host's store) holds and has
  // set up. False with a reason.
  bool open(const std::string& path, std::string& error);
  void close() { db_.reset(); }

  // One pass: records saved before `cutoff` (history time text) when there
  // is an age limit, then the oldest records while the file's used pages
  // exceed the size limit, then the freed pages returned to the file system.
  // Ends early once `stopping`. Returns the records deleted; `error` on failure.
  unsigned long prune(RetentionLimits limits, const std::string& cutoff,
                      const std::atomic<bool>* stopping, std::mutex* gate, std::string& error);

 private:
  history_sql::DbHandle db_;
};
