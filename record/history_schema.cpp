#include "history_schema.h"

#include "history_handles.h"

namespace history_sql {

const char* const kSchema =
    // No AUTOINCREMENT: its bookkeeping costs a write per row; retention
    // keeps each stream's newest rows, so seq never goes back.
    "CREATE TABLE IF NOT EXISTS history ("
    "  seq INTEGER PRIMARY KEY,"
    "  device_id INTEGER NOT NULL,"
    "  data_id INTEGER NOT NULL,"
    "  saved_at TEXT NOT NULL,"
    "  record BLOB NOT NULL,"
    "  form INTEGER NOT NULL DEFAULT 0,"
    // The row's number in its stream (device and data id), from 1, +1 per
    // row: what a broker's subscriber sees as Round/Seq. Retention deletes
    // old rows and renumbers nothing.
    "  round_seq INTEGER);"
    // A stream's rows in seq order: the last record, the latest reports,
    // the chains every reader decodes.
    "CREATE INDEX IF NOT EXISTS history_by_kind ON history (device_id, data_id, seq);"
    // Time ranges (quorlin export) are found through this index, not a scan.
    "CREATE INDEX IF NOT EXISTS history_by_time ON history (device_id, data_id, saved_at);";

const char* const kUpgrade =
    // Files made before compact rows: their rows are all full ones.
    "ALTER TABLE history ADD COLUMN form INTEGER NOT NULL DEFAULT 0;";

const char* const kRoundSeqUpgrade =
    // Files made before the rows were numbered.
    // Its rows stay unnumbered: numbering them would rewrite every record,
    // a whole history's worth of WAL that a full disk may not have. Rows are
    // numbered from their stream's first row saved after it.
    "ALTER TABLE history ADD COLUMN round_seq INTEGER;";

const char* const kUnusedIndexes = "DROP INDEX IF EXISTS history_by_device;";

void CloseDb::operator()(sqlite3* db) const { sqlite3_close(db); }

void FinalizeStmt::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }

std::string db_error(sqlite3* db, const std::string& what) {
  return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

bool write_access_code(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY || primary == SQLITE_PERM;
}

int past_deadline(void* deadline) {
  using Clock = std::chrono::steady_clock;
  return Clock::now() > *static_cast<const Clock::time_point*>(deadline) ? 1 : 0;
}

int history_kind(sqlite3* db, std::string& kind) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT type FROM sqlite_master WHERE name = 'history'", -1, &st,
                         nullptr) != SQLITE_OK)
    return -1;
  const int rc = sqlite3_step(st);
  const auto* type = rc == SQLITE_ROW ? sqlite3_column_text(st, 0) : nullptr;
  kind = type ? reinterpret_cast<const char*>(type) : "";
  sqlite3_finalize(st);
  return rc;
}

sqlite3_int64 pragma_value(sqlite3* db, const char* pragma) {
  sqlite3_stmt* st = nullptr;
  sqlite3_int64 value = -1;
  if (sqlite3_prepare_v2(db, pragma, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    value = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return value;
}

bool limit_wal(sqlite3* db, long long kept_bytes) {
  const std::string sql = "PRAGMA journal_size_limit=" + std::to_string(kept_bytes);
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace history_sql
