#include "history.h"

#include "history_schema.h"
#include "record.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace {

using history_sql::db_error;

// The data ids a device's rows come under, at most this many looked at: a
// record's and its reports' (two, unless the report id was changed).
constexpr int kMostDataIds = 16;

// A full file system: rows deleted per try, and tries, before a save fails.
constexpr int kGiveWayRows = 4;
constexpr int kGiveWayTries = 16;
// Free pages a save wants in the file while the disk is full: a record's
// (its 7001 bytes take two pages beside its cell) and an index page or two.
constexpr sqlite3_int64 kPagesPerSave = 4;

// Who holds a whole-file lock (flock) on the open file, as the kernel lists it
// in /proc/locks: "process 1234 (qrn-host)", or "" when it cannot tell.
std::string lock_holder(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return "";
  char file_id[64];
  std::snprintf(file_id, sizeof file_id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "3: FLOCK  ADVISORY  WRITE 1234 fd:00:5678 0 EOF"; waiters carry "->".
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    fields >> number >> kind >> advisory >> access >> pid >> where;
    if (kind != "FLOCK" || where != file_id) continue;
    const long holder = std::strtol(pid.c_str(), nullptr, 10);
    if (holder <= 0) continue;  // a process outside this one's view
    std::string name;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::getline(comm, name);
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
  }
  return "";
}

}  // namespace

HistoryStore::~HistoryStore() { close(); }

void HistoryStore::stop_checkpoints() {
  {
    std::lock_guard<std::mutex> lock(checkpoint_mutex_);
    checkpoint_stop_ = true;
  }
  checkpoint_cv_.notify_all();
  if (checkpointer_.joinable()) checkpointer_.join();
  sqlite3_close(checkpoint_db_);
  checkpoint_db_ = nullptr;
  checkpoint_stop_ = false;
}

void HistoryStore::checkpoint_loop() {
  std::unique_lock<std::mutex> lock(checkpoint_mutex_);
  while (!checkpoint_cv_.wait_for(lock, kCheckpointInterval, [this] { return checkpoint_stop_; })) {
    lock.unlock();
    // PASSIVE: copies what no reader still needs and waits for nobody; the
    // host's saves go on meanwhile (a WAL checkpoint does not block writers).
    int frames = 0, copied = 0;
    const int rc = sqlite3_wal_checkpoint_v2(checkpoint_db_, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                             &frames, &copied);
    // A checkpoint syncs the WAL only when it can copy; frames a reader still
    // holds back are synced here, so a power cut loses at most an interval.
    if (rc == SQLITE_OK && copied < frames) {
      const int fd = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        fdatasync(fd);
        ::close(fd);
      }
    }
    lock.lock();
  }
}

void HistoryStore::close() {
  stop_checkpoints();
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_finalize(insert_);
  sqlite3_finalize(select_last_);
  insert_ = nullptr;
  select_last_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  // After the database: the lock is released once the writer is done.
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
}

bool HistoryStore::fail_open(const std::string& what, std::string& error) {
  write_access_failure_ = db_ != nullptr && history_sql::write_access_code(sqlite3_extended_errcode(db_));
  error = db_error(db_, what + " " + path_);
  close();
  return false;
}

bool HistoryStore::lock_file(std::string& error) {
  // The lock is taken on the database file itself, before SQLite touches
  // it. SQLite locks with fcntl, which is independent of flock on Linux,
  // so readers (quorlin decode, sqlite3) are not held up.
  lock_fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0) {
    error = "cannot open history " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      const std::string holder = lock_holder(lock_fd_);
      error = "history " + path_ + " is in use by " +
              (holder.empty() ? std::string("another process") : holder);
    } else {
      error = "cannot lock history " + path_ + ": " + std::strerror(err);
    }
    close();
    return false;
  }
  return true;
}

bool HistoryStore::open(const std::string& path, Mode mode, std::string& error) {
  close();
  path_ = path;
  write_access_failure_ = false;
  if (mode == Mode::ReadWrite && !lock_file(error)) return false;
  const int flags = mode == Mode::ReadWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                            : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return fail_open("cannot open history", error);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, history_sql::kBusyMillis);
  if (mode == Mode::ReadWrite) {
    // WAL: a reader (quorlin decode) never blocks the running host; NORMAL
    // syncs at checkpoints, which is enough for history. A new file frees
    // the pages of deleted records on request (retention gives them back).
    // Checkpoints are the checkpoint thread's, so that no save does one; the
    // WAL file is cut back once reused after a long reader held it.
    if (sqlite3_exec(db_, "PRAGMA auto_vacuum=INCREMENTAL; PRAGMA journal_mode=WAL; "
                     "PRAGMA synchronous=NORMAL;", nullptr,
                     nullptr, nullptr) != SQLITE_OK ||
        !history_sql::limit_wal(db_, kWalKeptBytes) ||
        sqlite3_wal_autocheckpoint(db_, 0) != SQLITE_OK ||
        sqlite3_exec(db_, history_sql::kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail_open("cannot use history", error);
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (?1, ?2, ?3, ?4)",
                           -1, &insert_, nullptr) != SQLITE_OK)
      return fail_open("cannot use history", error);
  }
  // Only a table: a view named history could run any query, endless ones too.
  std::string what;
  const int kind = history_sql::history_kind(db_, what);
  if (kind < 0) return fail_open("cannot read history", error);
  if (kind == SQLITE_ROW && what != "table") {
    error = "cannot read history " + path_ + ": its 'history' is a " + what + ", not a table";
    close();
    return false;
  }
  sqlite3_progress_handler(db_, 1000, &history_sql::past_deadline, &deadline_);
  // The size is checked in the query: a record of the wrong size is never
  // loaded (length() of a blob does not read its content).
  if (sqlite3_prepare_v2(db_,
                         "SELECT length(record), CASE WHEN typeof(record) = 'blob' AND "
                         "length(record) = ?2 THEN record END FROM history "
                         "WHERE device_id = ?1 AND data_id = ?3 ORDER BY seq DESC LIMIT 1",
                         -1, &select_last_, nullptr) != SQLITE_OK)
    return fail_open("cannot read history", error);
  if (mode == Mode::ReadWrite) {
    if (sqlite3_open_v2(path.c_str(), &checkpoint_db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      error = db_error(checkpoint_db_, "cannot open history " + path_);
      close();
      return false;
    }
    checkpointer_ = std::thread(&HistoryStore::checkpoint_loop, this);
  }
  return true;
}

bool HistoryStore::save(uint32_t device_id, int data_id, const std::string& saved_at,
                        const unsigned char* record, std::size_t size, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (insert_ == nullptr) {
    error = "history is not open for writing";
    return false;
  }
  sqlite3_reset(insert_);
  sqlite3_bind_int64(insert_, 1, device_id);
  sqlite3_bind_int(insert_, 2, data_id);
  sqlite3_bind_text(insert_, 3, saved_at.c_str(), static_cast<int>(saved_at.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_blob64(insert_, 4, record, size, SQLITE_STATIC);
  // Until retention has made the reserve again (the disk has room), a save
  // reuses freed pages only: a file that grew in the WAL could not be
  // checkpointed, and a WAL never started over would fill what is left.
  if (disk_full_ && ::access(history_sql::reserve_path(path_).c_str(), F_OK) == 0)
    disk_full_ = false;
  if (disk_full_) make_way();
  int rc = sqlite3_step(insert_);
  std::string why = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
  sqlite3_reset(insert_);
  // The disk is full: the reserve goes first, then the oldest rows make way
  // (their pages are reused, the file does not grow) until the save fits.
  for (int tries = 0; (rc & 0xff) == SQLITE_FULL && tries < kGiveWayTries; ++tries) {
    if (!history_sql::release_reserve(path_)) {
      const int n = history_sql::delete_oldest(db_, kGiveWayRows);
      if (n <= 0) break;
      rows_given_way_ += static_cast<unsigned long>(n);
    }
    disk_full_ = true;
    make_way();
    rc = sqlite3_step(insert_);
    why = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
    sqlite3_reset(insert_);
  }
  sqlite3_clear_bindings(insert_);
  if (rc != SQLITE_DONE) {
    error = why;
    return false;
  }
  return true;
}

void HistoryStore::make_way() {
  if (history_sql::pragma_value(db_, "PRAGMA freelist_count") < kPagesPerSave) {
    const int n = history_sql::delete_oldest(db_, kGiveWayRows);
    if (n > 0) rows_given_way_ += static_cast<unsigned long>(n);
  }
  // Here, not on the checkpoint thread's next turn: the WAL starts over at
  // the next save only once copied, and meanwhile it would take what is left.
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

unsigned long HistoryStore::take_rows_given_way() {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned long n = rows_given_way_;
  rows_given_way_ = 0;
  return n;
}

std::optional<StoredRecord> HistoryStore::last(uint32_t device_id, std::size_t expected_size,
                                              std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (select_last_ == nullptr) {
    error = "history is not open";
    return std::nullopt;
  }
  sqlite3_reset(select_last_);
  sqlite3_bind_int64(select_last_, 1, device_id);
  sqlite3_bind_int64(select_last_, 2, static_cast<sqlite3_int64>(expected_size));
  sqlite3_bind_int(select_last_, 3, qrn_record::kDataId);  // records, not round reports
  std::optional<StoredRecord> result;
  deadline_ = std::chrono::steady_clock::now() + kReadTimeBound;
  const int rc = sqlite3_step(select_last_);
  deadline_ = std::chrono::steady_clock::time_point::max();
  if (rc == SQLITE_ROW) {
    result.emplace();
    result->size = static_cast<std::size_t>(sqlite3_column_int64(select_last_, 0));
    if (sqlite3_column_type(select_last_, 1) == SQLITE_BLOB) {
      const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(select_last_, 1));
      const int size = sqlite3_column_bytes(select_last_, 1);
      if (blob != nullptr) result->bytes.assign(blob, blob + size);
    }
  } else if ((rc & 0xff) == SQLITE_INTERRUPT) {
    error = "cannot read history " + path_ + ": the query ran past " +
            std::to_string(kReadTimeBound.count()) + " s";
  } else if (rc != SQLITE_DONE) {
    error = db_error(db_, "cannot read history " + path_);
  }
  sqlite3_reset(select_last_);
  return result;
}

bool HistoryStore::each_report(uint32_t device_id,
                               const std::function<bool(const unsigned char*, std::size_t)>& take,
                               std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) {
    error = "history is not open";
    return false;
  }
  // The report id of the device's newest report: its data ids one index seek
  // each, and the newest row under each another.
  const char* const kSteps[] = {
      "SELECT min(data_id) FROM history WHERE device_id = ?1 AND data_id > ?2",
      "SELECT max(seq) FROM history WHERE device_id = ?1 AND data_id = ?2",
      "SELECT record FROM history WHERE device_id = ?1 AND data_id = ?2 ORDER BY seq DESC"};
  sqlite3_stmt* next_id = nullptr;
  sqlite3_stmt* newest = nullptr;
  sqlite3_stmt* reports = nullptr;
  auto finish = [&](bool ok) {
    deadline_ = std::chrono::steady_clock::time_point::max();
    if (!ok && error.empty()) {
      error = (sqlite3_errcode(db_) & 0xff) == SQLITE_INTERRUPT
                  ? "cannot read history " + path_ + ": the query ran past " +
                        std::to_string(kReadTimeBound.count()) + " s"
                  : db_error(db_, "cannot read history " + path_);
    }
    sqlite3_finalize(next_id);
    sqlite3_finalize(newest);
    sqlite3_finalize(reports);
    return ok;
  };
  deadline_ = std::chrono::steady_clock::now() + kReadTimeBound;
  if (sqlite3_prepare_v2(db_, kSteps[0], -1, &next_id, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, kSteps[1], -1, &newest, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, kSteps[2], -1, &reports, nullptr) != SQLITE_OK)
    return finish(false);
  sqlite3_int64 data_id = std::numeric_limits<sqlite3_int64>::min();
  sqlite3_int64 report_id = 0, report_seq = -1;
  bool any = false;
  for (int n = 0; n < kMostDataIds; ++n) {
    sqlite3_reset(next_id);
    sqlite3_bind_int64(next_id, 1, device_id);
    sqlite3_bind_int64(next_id, 2, data_id);
    if (sqlite3_step(next_id) != SQLITE_ROW) return finish(false);
    if (sqlite3_column_type(next_id, 0) == SQLITE_NULL) break;
    data_id = sqlite3_column_int64(next_id, 0);
    if (data_id == qrn_record::kDataId) continue;
    sqlite3_reset(newest);
    sqlite3_bind_int64(newest, 1, device_id);
    sqlite3_bind_int64(newest, 2, data_id);
    if (sqlite3_step(newest) != SQLITE_ROW) return finish(false);
    if (sqlite3_column_int64(newest, 0) > report_seq) {
      report_seq = sqlite3_column_int64(newest, 0);
      report_id = data_id;
      any = true;
    }
  }
  if (!any) return finish(true);
  sqlite3_bind_int64(reports, 1, device_id);
  sqlite3_bind_int64(reports, 2, report_id);
  int rc;
  while ((rc = sqlite3_step(reports)) == SQLITE_ROW) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(reports, 0));
    const int size = sqlite3_column_bytes(reports, 0);
    if (blob != nullptr && size > 0 && !take(blob, static_cast<std::size_t>(size))) break;
  }
  return finish(rc == SQLITE_ROW || rc == SQLITE_DONE);
}
