#include "history_retention.h"

#include "history.h"
#include "history_rows.h"
#include "history_spool.h"
#include "history_schema.h"
#include "history_space.h"
#include "record.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>

#include <chrono>
#include <thread>

namespace {

using history_sql::pragma_value;

// Rows per delete: a few megabytes of records, a few milliseconds of the
// write lock, so a device's save never waits long behind it.
constexpr int kBatchRows = 32;
constexpr auto kBatchPause = std::chrono::milliseconds(20);
constexpr int kVacuumPages = 128;
// WAL frames (4 KiB pages) not yet copied into the database beyond which a
// pass waits: a reader holding an old snapshot keeps them from being copied,
// and the deletes would otherwise grow the WAL for as long as it reads.
constexpr sqlite3_int64 kWalBacklogFrames = 4096;
constexpr auto kBacklogPause = std::chrono::milliseconds(500);

// The gate for one step, when there is one.
std::unique_lock<std::mutex> hold(std::mutex* gate) {
  return gate ? std::unique_lock<std::mutex>(*gate) : std::unique_lock<std::mutex>();
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return nullptr;
  }
  return st;
}

// Bytes in pages that hold data (the free ones are not counted).
uint64_t used_bytes(sqlite3* db) {
  const sqlite3_int64 pages = pragma_value(db, "PRAGMA page_count");
  const sqlite3_int64 free_pages = pragma_value(db, "PRAGMA freelist_count");
  const sqlite3_int64 size = pragma_value(db, "PRAGMA page_size");
  if (pages < 0 || free_pages < 0 || size < 0) return 0;
  return static_cast<uint64_t>(pages - free_pages) * static_cast<uint64_t>(size);
}

// Deletes the oldest rows, up to kBatchRows, that are older than `cutoff`
// (any, when `cutoff` is empty); history_rows::delete_oldest says which.
// Rows above `max_seq` (when not negative) are never deleted; `unpublished`
// counts the deleted records (qrn_record::kDataId) above `floor`.
int delete_batch(sqlite3* db, const std::string& cutoff, const std::string& not_after,
                 sqlite3_int64 max_seq, sqlite3_int64 floor, unsigned long& unpublished) {
  return history_rows::delete_oldest(db, cutoff, not_after, kBatchRows, false, max_seq, floor,
                                     &unpublished);
}

// Checkpoints what it can without waiting for anyone (no gate held: the
// host's saves go on), and true once the WAL's backlog is small enough for
// another step; otherwise waits a while for the reader, false when stopping.
bool wal_has_room(sqlite3* db, const std::atomic<bool>* stopping) {
  // A WAL file within what is kept of it needs no look (nor a checkpoint's syncs).
  const char* file = sqlite3_db_filename(db, "main");
  struct stat st {};
  if (file == nullptr || stat((std::string(file) + "-wal").c_str(), &st) != 0 ||
      st.st_size <= HistoryStore::kWalKeptBytes)
    return true;
  while (stopping == nullptr || !stopping->load()) {
    int frames = -1, copied = -1;
    const int rc =
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    // Not in WAL mode (a file by hand): nothing to wait for.
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) return true;
    if (rc == SQLITE_OK && frames - copied <= kWalBacklogFrames) return true;
    std::this_thread::sleep_for(kBacklogPause);
  }
  return false;
}

}  // namespace

uint64_t kept_bytes_by_default(const HistoryFigures& f) {
  const uint64_t wal = f.file_bytes > f.used_bytes + f.free_page_bytes
                           ? f.file_bytes - f.used_bytes - f.free_page_bytes
                           : 0;
  const uint64_t half = f.fs_total / 2 > wal ? f.fs_total / 2 - wal : 0;
  // Free pages in the file count as free: new records reuse them.
  const uint64_t room = f.used_bytes + f.fs_free + f.free_page_bytes;
  const uint64_t floor = f.fs_total / 10;
  // A file system short of its tenth because of other files: the history
  // keeps what it holds (new records reuse its pages, history_space.h)
  // rather than deleting itself for them.
  return std::min(half, std::max(room > floor ? room - floor : 0, f.used_bytes));
}

bool HistoryPruner::open(const std::string& path, std::string& error) {
  path_ = path;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK) {
    error = history_sql::db_error(db, "cannot open history " + path + " for retention");
    close();
    return false;
  }
  // Another writer (sqlite3 by hand) may hold the lock a while; the host's saves
  // never do while a batch runs. Synchronous as the host's own connection.
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // No checkpoint inside a delete (it would run with the gate held, saves
  // waiting): the pass checkpoints between its steps instead.
  sqlite3_wal_autocheckpoint(db, 0);
  history_sql::limit_wal(db, HistoryStore::kWalKeptBytes);
  return true;
}

bool HistoryPruner::figures(HistoryFigures& f) {
  sqlite3* const db = db_.get();
  struct statvfs vfs {};
  if (db == nullptr || statvfs(path_.c_str(), &vfs) != 0) return false;
  f.fs_total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  f.fs_free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  struct stat st {};
  f.file_bytes = stat(path_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (stat((path_ + "-wal").c_str(), &st) == 0) f.file_bytes += static_cast<uint64_t>(st.st_size);
  f.used_bytes = used_bytes(db);
  const sqlite3_int64 free_pages = pragma_value(db, "PRAGMA freelist_count");
  const sqlite3_int64 size = pragma_value(db, "PRAGMA page_size");
  f.free_page_bytes = free_pages > 0 && size > 0
                          ? static_cast<uint64_t>(free_pages) * static_cast<uint64_t>(size)
                          : 0;
  f.oldest.clear();
  sqlite3_stmt* q = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT saved_at FROM history ORDER BY seq LIMIT 1", -1, &q,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(q) == SQLITE_ROW && sqlite3_column_text(q, 0) != nullptr)
    f.oldest = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
  sqlite3_finalize(q);
  return true;
}

bool HistoryPruner::growth(int64_t after_seq, HistoryGrowth& g) {
  // A row's stored bytes and about what its cell, its index entries and
  // its page's share add.
  constexpr int kRowOverhead = 96;
  // Before any seq is known, the newest alone: not a scan of the whole file.
  const char* const sql = after_seq < 0 ? "SELECT max(seq), 0, 0 FROM history WHERE ?1 < 0"
                                        : "SELECT max(seq), count(*), total(length(record)) FROM "
                                          "history WHERE seq > ?1";
  sqlite3_stmt* q = nullptr;
  const bool ok =
      sqlite3_prepare_v2(db_.get(), sql, -1, &q, nullptr) == SQLITE_OK &&
      (sqlite3_bind_int64(q, 1, after_seq), sqlite3_step(q) == SQLITE_ROW);
  if (ok) {
    // No row after it (or none at all): the newest is where it was, 0 at most.
    g.newest_seq = sqlite3_column_type(q, 0) == SQLITE_NULL ? std::max<int64_t>(after_seq, 0)
                                                            : sqlite3_column_int64(q, 0);
    g.bytes = static_cast<uint64_t>(sqlite3_column_double(q, 2)) +
              static_cast<uint64_t>(sqlite3_column_int64(q, 1)) * kRowOverhead;
  }
  sqlite3_finalize(q);
  return ok;
}

bool HistoryPruner::earliest(std::string& saved_at) {
  // The streams one index seek each, and each one's earliest row another.
  constexpr int kMostStreams = 100000;
  sqlite3* const db = db_.get();
  const history_sql::StmtHandle next(prepare(db,
      "SELECT device_id, data_id FROM history WHERE (device_id, data_id) > (?1, ?2) "
      "ORDER BY device_id, data_id LIMIT 1"));
  const history_sql::StmtHandle first(prepare(db,
      "SELECT min(saved_at) FROM history WHERE device_id = ?1 AND data_id = ?2"));
  if (!next || !first) return false;
  saved_at.clear();
  sqlite3_int64 device = -1, data_id = 0;
  for (int n = 0; n < kMostStreams; ++n) {
    sqlite3_reset(next.get());
    sqlite3_bind_int64(next.get(), 1, device);
    sqlite3_bind_int64(next.get(), 2, data_id);
    const int rc = sqlite3_step(next.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    device = sqlite3_column_int64(next.get(), 0);
    data_id = sqlite3_column_int64(next.get(), 1);
    sqlite3_reset(first.get());
    sqlite3_bind_int64(first.get(), 1, device);
    sqlite3_bind_int64(first.get(), 2, data_id);
    if (sqlite3_step(first.get()) != SQLITE_ROW) return false;
    const auto* text = sqlite3_column_text(first.get(), 0);
    if (text != nullptr && (saved_at.empty() || saved_at > reinterpret_cast<const char*>(text)))
      saved_at = reinterpret_cast<const char*>(text);
  }
  return true;
}

PruneResult HistoryPruner::prune(unsigned long keep_days, uint64_t keep_bytes,
                                 const std::string& cutoff, const std::string& not_after,
                                 const std::atomic<bool>* stopping, std::mutex* gate,
                                 std::string& error) {
  sqlite3* const db = db_.get();
  PruneResult result;
  auto stopped = [&] { return stopping != nullptr && stopping->load(); };
  auto pass = [&](const std::string& older_than, bool by_size) {
    while (!stopped()) {
      if (by_size && used_bytes(db) <= keep_bytes) return true;
      if (!wal_has_room(db, stopping)) return true;
      int n;
      {
        const auto step = hold(gate);
        // The age limit spares what is not yet published; a size limit does not.
        const sqlite3_int64 floor = unpublished_floor(db);
        const sqlite3_int64 max_seq = by_size ? -1 : floor;
        n = delete_batch(db, older_than, not_after, max_seq, floor, result.unpublished);
        // A full file system: the reserve gives the delete's WAL frames room.
        if (n < 0 && (sqlite3_errcode(db) & 0xff) == SQLITE_FULL &&
            history_space::release_reserve(path_))
          n = delete_batch(db, older_than, not_after, max_seq, floor, result.unpublished);
      }
      if (n < 0) {
        error = sqlite3_errmsg(db);
        return false;
      }
      result.deleted += static_cast<unsigned long>(n);
      if (by_size) result.by_size += static_cast<unsigned long>(n);
      if (n == 0) return true;
      std::this_thread::sleep_for(kBatchPause);
    }
    return true;
  };
  if (keep_days > 0 && !pass(cutoff, false)) return result;
  if (keep_bytes > 0 && !pass("", true)) return result;
  // Freed pages go back to the file system a few at a time (files that were
  // made before retention existed reuse them for new records instead); not
  // while it is short of room: another file would take them, and the
  // history could not have them back.
  HistoryFigures f;
  const bool short_of_room =
      figures(f) && history_space::short_of_room(f.fs_total, f.fs_free);
  while (!stopped() && !short_of_room && pragma_value(db, "PRAGMA freelist_count") > 0 &&
         pragma_value(db, "PRAGMA auto_vacuum") == 2 && wal_has_room(db, stopping)) {
    const std::string sql = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")";
    auto step = hold(gate);
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db);
      break;
    }
    step.unlock();
    std::this_thread::sleep_for(kBatchPause);
  }
  // The deleted pages into the database, waiting for nobody; the WAL file is
  // cut back (journal_size_limit) when a save next starts it over.
  sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  // The reserve again once the file system has room for it.
  if (!stopped() && figures(f) && history_space::room_for_reserve(f.fs_total, f.fs_free)) {
    const auto step = hold(gate);
    history_space::make_reserve(path_, history_space::reserve_bytes(f.fs_total));
  }
  return result;
}
