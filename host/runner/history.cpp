#include "history.h"

#include <sqlite3.h>

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS history ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  device_id INTEGER NOT NULL,"
    "  data_id INTEGER NOT NULL,"
    "  saved_at TEXT NOT NULL,"
    "  record BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history (device_id, seq);";

std::string db_error(sqlite3* db, const std::string& what) {
  return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

}  // namespace

HistoryStore::~HistoryStore() { close(); }

void HistoryStore::close() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(select_last_);
  insert_ = nullptr;
  select_last_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool HistoryStore::open(const std::string& path, Mode mode, std::string& error) {
  close();
  const int flags = mode == Mode::ReadWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                            : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    error = db_error(db_, "cannot open history " + path);
    close();
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  if (mode == Mode::ReadWrite) {
    // WAL: a reader (quorlin decode) never blocks the running host; NORMAL
    // syncs at checkpoints, which is enough for history.
    if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                     nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      error = db_error(db_, "cannot use history " + path);
      close();
      return false;
    }
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (?1, ?2, ?3, ?4)",
                           -1, &insert_, nullptr) != SQLITE_OK) {
      error = db_error(db_, "cannot use history " + path);
      close();
      return false;
    }
  }
  if (sqlite3_prepare_v2(db_,
                         "SELECT record FROM history WHERE device_id = ?1 "
                         "ORDER BY seq DESC LIMIT 1",
                         -1, &select_last_, nullptr) != SQLITE_OK) {
    error = db_error(db_, "cannot read history " + path);
    close();
    return false;
  }
  return true;
}

bool HistoryStore::save(uint32_t device_id, int data_id, const std::string& saved_at,
                        const unsigned char* record, std::size_t size, std::string& error) {
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
  const int rc = sqlite3_step(insert_);
  sqlite3_clear_bindings(insert_);
  sqlite3_reset(insert_);
  if (rc != SQLITE_DONE) {
    error = db_error(db_, "cannot save history");
    return false;
  }
  return true;
}

std::optional<std::vector<unsigned char>> HistoryStore::last(uint32_t device_id,
                                                             std::string& error) {
  if (select_last_ == nullptr) {
    error = "history is not open";
    return std::nullopt;
  }
  sqlite3_reset(select_last_);
  sqlite3_bind_int64(select_last_, 1, device_id);
  std::optional<std::vector<unsigned char>> result;
  const int rc = sqlite3_step(select_last_);
  if (rc == SQLITE_ROW) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(select_last_, 0));
    const int size = sqlite3_column_bytes(select_last_, 0);
    result.emplace(blob, blob + size);
  } else if (rc != SQLITE_DONE) {
    error = db_error(db_, "cannot read history");
  }
  sqlite3_reset(select_last_);
  return result;
}
