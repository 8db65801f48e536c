#pragma once

// Device history in an SQLite database: one row per record saved by a
// device, so that a restarted host (and `quorlin decode`) can find the last
// record of each device.
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history_rows.h"
#include "history_space.h"

struct sqlite3;
struct sqlite3_stmt;

// The last stored record of a device as far as it was read: its size always,
// its bytes only when the size is the one asked for (a wrong-sized record is
// never loaded, however large it is).
struct StoredRecord {
  std::size_t size = 0;
  std::vector<unsigned char> bytes;  // empty unless size was the expected one
};

// A row waiting for the next group.
struct QueuedRow {
  uint32_t device_id;
  int data_id;
  std::string saved_at;
  std::vector<unsigned char> bytes;
};

// A row of a committed group, as the commit callback hands it on: its
// stream, its seq in the file and its number in the stream (round_seq).
struct CommittedRow {
  uint32_t device_id;
  int data_id;
  int64_t seq;
  uint64_t round_seq;
};

// What became of the saved rows since the last look: the groups that could
// not be committed, their rows lost.
struct GroupResults {
  unsigned long records_lost = 0;
  unsigned long reports_lost = 0;
  uint32_t device_id = 0;  // the first lost record's device
  std::string error;       // SQLite's reason for the last failed group
  bool kept_after = false;  // a group was committed after the last failure
};

// A save queues its row; a thread of the store's own commits the queue once
// every kGroupInterval, all devices' rows in one transaction (compact rows,
// history_rows.h), and then checkpoints the WAL on a second connection. The
// reads (last, each_report) commit what is queued first, so they see every
// row saved before them. A crash loses at most the group not yet committed.
class HistoryStore {
 public:
  enum class Mode { ReadWrite, ReadOnly };

  HistoryStore() = default;
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // ReadWrite creates the file and its table when missing and holds the file
  // exclusively (an advisory lock) until close: a second writer is refused,
  // naming the holder when the system tells it; readers are not affected.
  // ReadOnly needs an existing history file and never writes to it.
  // False with a one-line reason on failure.
  bool open(const std::string& path, Mode mode, std::string& error);
  void close();

  // True when the last failed open was for want of write access beside the
  // database (a folder the user cannot write, a read-only medium): SQLite
  // could not open or create the files it keeps next to a WAL database.
  bool failed_for_write_access() const { return write_access_failure_; }

  const std::string& path() const { return path_; }

  // Queues one record for the next group; `saved_at` is the local time of
  // the save as text. On a full file system the oldest rows give way, a few
  // at a time (the reserve beside the file released first, so that the
  // deletes have room), and the group is tried again: new records go on
  // being saved. A group that fails all the same is counted in take_results().
  // False with `error` only when the store is not open for writing.
  bool save(uint32_t device_id, int data_id, const std::string& saved_at,
            const unsigned char* record, std::size_t size, std::string& error);

  // The most recently saved record (data id 5156) of the device, or nothing; its bytes are
  // loaded only when it is exactly `expected_size` bytes long. `error` is set
  // when the history could not be read (and left alone otherwise), or when the
  // query ran past kReadTimeBound (a crafted file can make it endless).
  std::optional<StoredRecord> last(uint32_t device_id, std::size_t expected_size,
                                   std::string& error);

  // The device's round reports under the data id of its newest one, newest
  // first, until `take` returns false; each found through an index, however
  // old the history. False with `error` when the history could not be read
  // or the reading ran past kReadTimeBound.
  bool each_report(uint32_t device_id,
                   const std::function<bool(const unsigned char*, std::size_t)>& take,
                   std::string& error);

  // The rows deleted by saves on a full file system since the last call.
  // Of them, with `unpublished`: the records a broker had not yet acknowledged.
  unsigned long take_rows_given_way(unsigned long* unpublished = nullptr);

  // The rows deleted by saves on a full file system since open; any thread.
  unsigned long rows_given_way_total() const { return full_disk_.given_way_total(); }

  // What became of the groups since the last call.
  GroupResults take_results();

  // Commits what is queued now (the store's thread does it every interval).
  void flush();

  // Called after each committed group with its rows, in seq order, on the
  // committing thread, outside the store's lock. Set it before the first save.
  void set_on_commit(std::function<void(const std::vector<CommittedRow>&)> on_commit);

  static constexpr std::chrono::seconds kReadTimeBound{10};
  // How often the queued rows are committed and the writer's WAL synced:
  // what a crash or power cut can lose; the WAL is checkpointed every
  // kCheckpointGroups groups, so that the writer starts it over and reuses
  // its space. The WAL file is cut back to kWalKeptBytes once reused.
  static constexpr std::chrono::seconds kGroupInterval{1};
  static constexpr int kCheckpointGroups = 5;
  static constexpr long long kWalKeptBytes = 4ll << 20;

 private:
  bool fail_open(const std::string& what, std::string& error);
  bool lock_file(std::string& error);  // ReadWrite: the file's advisory lock
  void checkpoint_loop();
  // Commits the queue in one transaction (mutex_ held); true when a group was
  // committed.
  bool commit_group();
  // Writes the rows in one transaction; on failure `why` is SQLite's reason,
  // taken before the rollback that would replace it.
  int write_group(const std::vector<QueuedRow>& rows, std::string& why);
  int64_t last_round_seq(uint32_t device_id, int data_id);
  void stop_checkpoints();

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* last_round_seq_ = nullptr;
  // Each stream's last round_seq, read once per open; the last group's rows.
  std::map<std::pair<uint32_t, int>, int64_t> round_seqs_;
  std::vector<CommittedRow> committed_;
  int lock_fd_ = -1;
  bool write_access_failure_ = false;
  std::mutex mutex_;  // every use of db_, its statements, encoder_ and full_disk_
  history_rows::Encoder encoder_;
  history_space::FullDisk full_disk_{encoder_};
  std::mutex queue_mutex_;  // queue_, results_, on_commit_
  std::vector<QueuedRow> queue_;
  GroupResults results_;
  std::function<void(const std::vector<CommittedRow>&)> on_commit_;
  bool writable_ = false;  // saves are queued
  sqlite3* checkpoint_db_ = nullptr;  // the checkpoint thread's own connection
  std::thread checkpointer_;
  std::mutex checkpoint_mutex_;
  std::condition_variable checkpoint_cv_;
  bool checkpoint_stop_ = false;
  // While last() or each_report() runs: when SQLite is to give up; max() otherwise.
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};
