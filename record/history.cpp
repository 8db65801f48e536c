#include "history.h"

#include "history_schema.h"
#include "history_spool.h"
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
#include <map>
#include <sstream>

namespace {

using history_sql::db_error;

// The data ids a device's rows come under, at most this many looked at: a
// record's and its reports' (two, unless the report id was changed).
constexpr int kMostDataIds = 16;

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

bool has_round_seq(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  const bool found =
      sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('history') WHERE name = 'round_seq'",
                         -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW;
  sqlite3_finalize(st);
  return found;
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
  int groups = 0;
  while (!checkpoint_cv_.wait_for(lock, kGroupInterval, [this] { return checkpoint_stop_; })) {
    lock.unlock();
    flush();
    int frames = 0, copied = 0, rc = SQLITE_OK;
    // PASSIVE: copies what no reader still needs and waits for nobody; the
    // host's saves go on meanwhile (a WAL checkpoint does not block writers).
    // Every kCheckpointGroups groups only: the pages that each group
    // rewrites (the newest leaf of the table and of each index) are copied
    // into the database once rather than once a second.
    if (++groups >= kCheckpointGroups) {
      groups = 0;
      rc = sqlite3_wal_checkpoint_v2(checkpoint_db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames,
                                     &copied);
    }
    // A checkpoint syncs the WAL only when it can copy; the WAL is synced
    // here otherwise, so a power cut loses at most a group or two.
    if (rc == SQLITE_OK && (frames == 0 || copied < frames)) {
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
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    writable_ = false;
  }
  stop_checkpoints();
  flush();  // the last group
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_finalize(insert_);
  insert_ = nullptr;
  sqlite3_finalize(last_round_seq_);
  last_round_seq_ = nullptr;
  round_seqs_.clear();
  encoder_.forget();
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  // After the database: the lock is released once the writer is done.
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
  full_disk_.use_file(-1);
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
  full_disk_.use_file(lock_fd_);
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
    // WAL file is cut back once reused after a long reader held it. A new
    // file has 1 KiB pages: each group writes one page of each device's
    // index ranges, and a compact row fills little of a larger page.
    if (sqlite3_exec(db_, "PRAGMA page_size=1024; PRAGMA auto_vacuum=INCREMENTAL; "
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                     nullptr, nullptr) != SQLITE_OK ||
        !history_sql::limit_wal(db_, kWalKeptBytes) ||
        sqlite3_wal_autocheckpoint(db_, 0) != SQLITE_OK ||
        sqlite3_exec(db_, history_sql::kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        (std::strcmp(history_rows::form_column(db_), "form") != 0 &&
         sqlite3_exec(db_, history_sql::kUpgrade, nullptr, nullptr, nullptr) != SQLITE_OK) ||
        (!has_round_seq(db_) &&
         sqlite3_exec(db_, history_sql::kRoundSeqUpgrade, nullptr, nullptr, nullptr) != SQLITE_OK) ||
        sqlite3_exec(db_, history_sql::kUnusedIndexes, nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail_open("cannot use history", error);
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (device_id, data_id, saved_at, record, form, "
                           "round_seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                           -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_,
                           "SELECT round_seq FROM history WHERE device_id = ?1 AND data_id = ?2 "
                           "ORDER BY seq DESC LIMIT 1",
                           -1, &last_round_seq_, nullptr) != SQLITE_OK)
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
  if (mode == Mode::ReadWrite) {
    // The checkpoint connection reads the file once: until it has, it does not
    // know the file is in WAL mode, and its checkpoints copy nothing.
    if (sqlite3_open_v2(path.c_str(), &checkpoint_db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_exec(checkpoint_db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
      error = db_error(checkpoint_db_, "cannot open history " + path_);
      close();
      return false;
    }
    sqlite3_busy_timeout(checkpoint_db_, history_sql::kBusyMillis);
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      writable_ = true;
    }
    checkpointer_ = std::thread(&HistoryStore::checkpoint_loop, this);
  }
  return true;
}

bool HistoryStore::save(uint32_t device_id, int data_id, const std::string& saved_at,
                        const unsigned char* record, std::size_t size, std::string& error) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (!writable_) {
    error = "history is not open for writing";
    return false;
  }
  queue_.push_back({device_id, data_id, saved_at, std::vector<unsigned char>(record, record + size)});
  return true;
}

void HistoryStore::set_on_commit(std::function<void(const std::vector<CommittedRow>&)> on_commit) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  on_commit_ = std::move(on_commit);
}

GroupResults HistoryStore::take_results() {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  GroupResults r = std::move(results_);
  results_ = GroupResults();
  return r;
}

void HistoryStore::flush() {
  std::vector<CommittedRow> committed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!commit_group()) return;
    committed.swap(committed_);
  }
  std::function<void(const std::vector<CommittedRow>&)> on_commit;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    on_commit = on_commit_;
  }
  if (on_commit) on_commit(committed);
}

// The stream's last round_seq: the newest row's, read once per stream and
// open (0 for a row saved before rows were numbered: the stream's numbers
// start at 1 after it); -1 when it cannot be read.
int64_t HistoryStore::last_round_seq(uint32_t device_id, int data_id) {
  const auto key = std::make_pair(device_id, data_id);
  const auto it = round_seqs_.find(key);
  if (it != round_seqs_.end()) return it->second;
  sqlite3_reset(last_round_seq_);
  sqlite3_bind_int64(last_round_seq_, 1, device_id);
  sqlite3_bind_int(last_round_seq_, 2, data_id);
  const int rc = sqlite3_step(last_round_seq_);
  const int64_t last = rc == SQLITE_ROW ? sqlite3_column_int64(last_round_seq_, 0)
                       : rc == SQLITE_DONE ? 0 : -1;
  sqlite3_reset(last_round_seq_);
  if (last >= 0) round_seqs_.emplace(key, last);
  return last;
}

int HistoryStore::write_group(const std::vector<QueuedRow>& rows, std::string& why) {
  committed_.clear();
  int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  std::vector<unsigned char> stored;
  // Each row's number follows its stream's last, counted here and kept
  // once the group is committed.
  std::map<std::pair<uint32_t, int>, int64_t> numbers;
  for (std::size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
    const QueuedRow& row = rows[i];
    const auto key = std::make_pair(row.device_id, row.data_id);
    auto number = numbers.find(key);
    if (number == numbers.end()) {
      const int64_t last = last_round_seq(row.device_id, row.data_id);
      if (last < 0) {
        rc = sqlite3_errcode(db_);
        break;
      }
      number = numbers.emplace(key, last).first;
    }
    const int form = encoder_.encode(row.device_id, row.data_id, row.bytes.data(),
                                     row.bytes.size(), stored);
    sqlite3_reset(insert_);
    sqlite3_bind_int64(insert_, 6, ++number->second);
    sqlite3_bind_int64(insert_, 1, row.device_id);
    sqlite3_bind_int(insert_, 2, row.data_id);
    sqlite3_bind_text(insert_, 3, row.saved_at.c_str(), static_cast<int>(row.saved_at.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob64(insert_, 4, stored.data(), stored.size(), SQLITE_STATIC);
    sqlite3_bind_int(insert_, 5, form);
    rc = sqlite3_step(insert_);
    if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
      committed_.push_back({row.device_id, row.data_id, sqlite3_last_insert_rowid(db_),
                            static_cast<uint64_t>(number->second)});
    }
    sqlite3_reset(insert_);
  }
  sqlite3_clear_bindings(insert_);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    for (const auto& n : numbers) round_seqs_[n.first] = n.second;
  if (rc != SQLITE_OK) {
    const int failed = sqlite3_extended_errcode(db_);
    why = sqlite3_errmsg(db_);
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // The streams' last rows are not what the file holds: full rows next.
    encoder_.forget();
    committed_.clear();
    return failed;
  }
  return SQLITE_OK;
}

bool HistoryStore::commit_group() {
  std::vector<QueuedRow> rows;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    rows.swap(queue_);
  }
  if (rows.empty() || insert_ == nullptr) return false;
  std::size_t need = 0;
  for (const QueuedRow& row : rows) need += row.bytes.size();
  std::string why;
  // On a full file system the group makes room and is written again
  // (history_space.h).
  const int rc = full_disk_.write_group(db_, path_, need, [&] {
    why.clear();
    return write_group(rows, why);
  });
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (rc == SQLITE_OK) {
    results_.kept_after = true;
    return true;
  }
  for (const QueuedRow& row : rows) {
    if (row.data_id != qrn_record::kDataId) {
      ++results_.reports_lost;
      continue;
    }
    if (results_.records_lost++ == 0) results_.device_id = row.device_id;
  }
  results_.error = why;
  results_.kept_after = false;
  return false;
}

unsigned long HistoryStore::take_rows_given_way(unsigned long* unpublished) {
  std::lock_guard<std::mutex> lock(mutex_);
  return full_disk_.take_given_way(unpublished);
}

std::optional<StoredRecord> HistoryStore::last(uint32_t device_id, std::size_t expected_size,
                                              std::string& error) {
  flush();  // the rows saved before this read are in the file
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) {
    error = "history is not open";
    return std::nullopt;
  }
  // The newest record and the full row its chain starts from (the same row
  // in files made before compact rows); the size is the full row's: a
  // record of the wrong size is never loaded (length() of a blob does not
  // read its content).
  const std::string sql =
      std::string("SELECT n.seq, f.seq, length(f.record), typeof(f.record) FROM "
                  "(SELECT max(seq) AS seq FROM history WHERE device_id = ?1 AND data_id = ?2) n "
                  "JOIN history f ON f.seq = (SELECT max(seq) FROM history WHERE device_id = ?1 "
                  "AND data_id = ?2 AND seq <= n.seq AND ") +
      history_rows::form_column(db_) + " = 0)";
  std::optional<StoredRecord> result;
  deadline_ = std::chrono::steady_clock::now() + kReadTimeBound;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(st, 1, device_id);
    sqlite3_bind_int(st, 2, qrn_record::kDataId);  // records, not round reports
    rc = sqlite3_step(st);
  }
  std::string read_error;
  if (rc == SQLITE_ROW) {
    result.emplace();
    const sqlite3_int64 newest = sqlite3_column_int64(st, 0);
    const sqlite3_int64 base = sqlite3_column_int64(st, 1);
    result->size = static_cast<std::size_t>(sqlite3_column_int64(st, 2));
    const bool blob = std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 3)), "blob") == 0;
    if (blob && result->size == expected_size &&
        !history_rows::each_row_after(
            db_, device_id, qrn_record::kDataId, base - 1,
            [&](int64_t seq, const std::string&, const unsigned char* bytes, std::size_t size) {
              if (seq == newest && bytes != nullptr) result->bytes.assign(bytes, bytes + size);
              return true;
            },
            read_error, newest, expected_size))
      rc = sqlite3_errcode(db_);
  }
  sqlite3_finalize(st);
  deadline_ = std::chrono::steady_clock::time_point::max();
  if ((rc & 0xff) == SQLITE_INTERRUPT) {
    error = "cannot read history " + path_ + ": the query ran past " +
            std::to_string(kReadTimeBound.count()) + " s";
    return std::nullopt;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    error = db_error(db_, "cannot read history " + path_);
    return std::nullopt;
  }
  return result;
}

bool HistoryStore::each_report(uint32_t device_id,
                               const std::function<bool(const unsigned char*, std::size_t)>& take,
                               std::string& error) {
  flush();  // the rows saved before this read are in the file
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) {
    error = "history is not open";
    return false;
  }
  // The report id of the device's newest report: its data ids one index seek
  // each, and the newest row under each another.
  const char* const kSteps[] = {
      "SELECT min(data_id) FROM history WHERE device_id = ?1 AND data_id > ?2",
      "SELECT max(seq) FROM history WHERE device_id = ?1 AND data_id = ?2"};
  sqlite3_stmt* next_id = nullptr;
  sqlite3_stmt* newest = nullptr;
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
    return ok;
  };
  deadline_ = std::chrono::steady_clock::now() + kReadTimeBound;
  if (sqlite3_prepare_v2(db_, kSteps[0], -1, &next_id, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, kSteps[1], -1, &newest, nullptr) != SQLITE_OK)
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
  std::string read_error;
  return finish(history_rows::each_row_newest_first(
      db_, device_id, static_cast<int>(report_id),
      [&](int64_t, const std::string&, const unsigned char* bytes, std::size_t size) {
        return bytes == nullptr || size == 0 || take(bytes, size);
      },
      read_error));
}
