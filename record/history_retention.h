#pragma once

// Retention's deletes in the history file: the oldest records beyond an age
// or a size go, in small batches on a connection of its own. Each batch holds
// the host's history gate, which every save (records and round reports) holds
// too, so the two never meet on SQLite's lock: a save waits at most for one
// small batch, never for a checkpoint. While a reader holds back the WAL's
// checkpoint the pass waits instead of growing the WAL. On a full file
// system a delete first releases the reserve beside the file (history_space.h).
#include "history_handles.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct RetentionLimits {
  unsigned long keep_days = 0;  // 0: no age limit
  uint64_t keep_bytes = 0;      // 0: the disk budget (kept_bytes_by_default)
  bool any() const { return keep_days > 0 || keep_bytes > 0; }
};

// The history file and its file system, as a pass sees them.
struct HistoryFigures {
  uint64_t fs_total = 0;    // the file system's size
  uint64_t fs_free = 0;     // what an unprivileged writer may still take
  uint64_t file_bytes = 0;  // the database and its WAL
  uint64_t used_bytes = 0;  // the database's pages that hold data
  uint64_t free_page_bytes = 0;  // its free pages, which new records reuse
  std::string oldest;       // the oldest row's saved time, "" when none
};

// The rows saved after a seq: the newest seq and about the bytes they take.
struct HistoryGrowth {
  int64_t newest_seq = 0;
  uint64_t bytes = 0;
};

// Without --keep-mb: the used bytes the history may hold, so that it takes
// at most half of its file system and leaves at least a tenth of it free;
// never less than it holds while other files leave less than that tenth.
uint64_t kept_bytes_by_default(const HistoryFigures& f);

struct PruneResult {
  unsigned long deleted = 0;  // every row deleted
  unsigned long by_size = 0;  // of those, for the size limit
  unsigned long unpublished = 0;  // records deleted before the broker had them
};

class HistoryPruner {
 public:
  // Opens the history file, which another (the host's store) holds and has
  // set up. False with a reason.
  bool open(const std::string& path, std::string& error);
  void close() { db_.reset(); }

  // The figures now; false when they could not be read.
  bool figures(HistoryFigures& f);
  // The rows saved after `after_seq` (with a negative one, the newest seq
  // alone); false when they could not be read.
  bool growth(int64_t after_seq, HistoryGrowth& g);
  // The earliest saved time of any row kept, each stream's through the time
  // index ("" when none): a row saved by a clock that was ahead is not it.
  bool earliest(std::string& saved_at);

  // One pass: records saved before `cutoff` (history time text) when there
  // is an age limit, then the oldest records while the file's used pages
  // exceed `keep_bytes` (none when 0), then the freed pages returned to the
  // file system and the reserve made again when there is room. The age
  // limit goes by saved time whatever the rows' order; a row saved after
  // `not_after` (a clock that was ahead) neither stops it nor waits for its
  // own time: it goes with the first older-than-cutoff row saved after it.
  // The age limit keeps the records a broker has not acknowledged yet (the
  // spool's progress); the size limit deletes them too, and counts them.
  // Ends early once `stopping`. `error` on failure.
  PruneResult prune(unsigned long keep_days, uint64_t keep_bytes, const std::string& cutoff,
                    const std::string& not_after, const std::atomic<bool>* stopping,
                    std::mutex* gate, std::string& error);

 private:
  history_sql::DbHandle db_;
  std::string path_;
};
