#include "history_reader.h"

#include "history.h"
#include "history_schema.h"
#include "record.h"

#include <sqlite3.h>

namespace {

using Clock = std::chrono::steady_clock;

// A row's bytes only when it is a record (a row of another size is never
// loaded, however large: length() of a blob does not read it). The range is
// found through the (device_id, saved_at) index.
constexpr const char* kRecordsSql =
    "SELECT CASE WHEN typeof(record) = 'blob' AND "
    "length(record) = ?4 THEN record END FROM history WHERE device_id = ?1 "
    "AND saved_at >= ?2 AND saved_at <= ?3 AND data_id = ?5 ORDER BY saved_at, seq";

// Newest first along the (device_id, seq) index, so that only the rows of
// the asked-for minutes are read, and only the point's bytes of each.
constexpr const char* kTrendSql =
    "SELECT saved_at, substr(record, ?2, ?3) FROM history "
    "WHERE device_id = ?1 AND length(record) = ?4 ORDER BY seq DESC";

}  // namespace

void HistoryReader::close() {
  stmt_.reset();
  db_.reset();
}

bool HistoryReader::open(const std::string& path, std::string& error) {
  close();
  write_access_failure_ = false;
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  db_.reset(db);
  auto fail = [&](const std::string& what) {
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    write_access_failure_ = history_sql::write_access_code(code);
    error = history_sql::db_error(db, what + path);
    close();
    return false;
  };
  if (opened != SQLITE_OK) return fail("cannot open history ");
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, history_sql::kBusyMillis);
  std::string kind;
  const int rc = history_sql::history_kind(db, kind);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail("cannot read history ");
  if (!kind.empty() && kind != "table") {
    error = "cannot read history " + path + ": its 'history' is a " + kind + ", not a table";
    close();
    return false;
  }
  sqlite3_stmt* stmt = nullptr;
  const int prepared = sqlite3_prepare_v2(db, kRecordsSql, -1, &stmt, nullptr);
  stmt_.reset(stmt);
  if (prepared != SQLITE_OK) return fail("cannot read history ");
  return true;
}

bool HistoryReader::each_record(uint32_t device_id, const std::string& from, const std::string& to,
                                const std::function<void(const unsigned char*)>& take,
                                unsigned long& skipped, const std::string& name,
                                std::string& error) {
  if (!stmt_) {
    error = "history is not open";
    return false;
  }
  sqlite3* const db = db_.get();
  sqlite3_stmt* const st = stmt_.get();
  sqlite3_reset(st);
  sqlite3_bind_int64(st, 1, device_id);
  sqlite3_bind_text(st, 2, from.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 3, to.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(qrn_record::kSize));
  // Records only: the round reports stored beside them are no records.
  sqlite3_bind_int(st, 5, qrn_record::kDataId);
  // Each row within the bound that decode has: a crafted file can make a
  // step endless.
  Clock::time_point deadline;
  sqlite3_progress_handler(db, 1000, &history_sql::past_deadline, &deadline);
  int rc;
  while ((deadline = Clock::now() + HistoryStore::kReadTimeBound,
          rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
    if (blob == nullptr || sqlite3_column_bytes(st, 0) != static_cast<int>(qrn_record::kSize)) {
      ++skipped;  // not a record of this driver
      continue;
    }
    take(blob);
  }
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  if ((rc & 0xff) == SQLITE_INTERRUPT) {
    error = "cannot read history " + name + ": the query ran past " +
            std::to_string(HistoryStore::kReadTimeBound.count()) + " s";
    return false;
  }
  if (rc != SQLITE_DONE) {
    error = "cannot read history " + name + ": " + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool read_point_trend(const std::string& path, uint32_t device_id, std::size_t offset,
                      std::size_t width, const std::string& since,
                      const std::function<void(const std::string&, const unsigned char*)>& take,
                      std::string& error, bool& timed_out) {
  timed_out = false;
  sqlite3* db = nullptr;
  const int open = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
  const history_sql::DbHandle db_owner(db);
  if (open != SQLITE_OK) {
    error = history_sql::db_error(db, "cannot read history");
    return false;
  }
  sqlite3_busy_timeout(db, history_sql::kBusyMillis);
  Clock::time_point deadline = Clock::now() + kTrendTimeBound;
  sqlite3_progress_handler(db, 1000, &history_sql::past_deadline, &deadline);
  sqlite3_stmt* st = nullptr;
  const int prepared = sqlite3_prepare_v2(db, kTrendSql, -1, &st, nullptr);
  const history_sql::StmtHandle st_owner(st);  // finalized before the connection closes
  if (prepared != SQLITE_OK) {
    error = history_sql::db_error(db, "cannot read history");
    return false;
  }
  sqlite3_bind_int64(st, 1, device_id);
  sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(offset) + 1);
  sqlite3_bind_int(st, 3, static_cast<int>(width));
  sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(qrn_record::kSize));
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* saved = sqlite3_column_text(st, 0);
    const std::string saved_at = saved ? reinterpret_cast<const char*>(saved) : "";
    if (saved_at < since) break;
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
    if (bytes == nullptr || sqlite3_column_bytes(st, 1) != static_cast<int>(width)) continue;
    take(saved_at, bytes);
  }
  if (rc == SQLITE_INTERRUPT) {
    timed_out = true;
    error = "cannot read history: the query ran past " +
            std::to_string(kTrendTimeBound.count()) + " s";
    return false;
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    error = history_sql::db_error(db, "cannot read history");
    return false;
  }
  return true;
}
