#include "history_reader.h"

#include "history.h"
#include "history_rows.h"
#include "history_schema.h"
#include "record.h"

#include <sqlite3.h>

namespace {

using Clock = std::chrono::steady_clock;

// The first and last seq of the device's records saved in a time range,
// found through the time index; the rows between are decoded in seq order.
constexpr const char* kRangeSql =
    "SELECT min(seq), max(seq) FROM history WHERE device_id = ?1 AND data_id = ?4 "
    "AND saved_at >= ?2 AND saved_at <= ?3";

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
  const int prepared = sqlite3_prepare_v2(db, kRangeSql, -1, &stmt, nullptr);
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
  // Records only: the round reports stored beside them are no records.
  sqlite3_bind_int(st, 4, qrn_record::kDataId);
  // Each row within the bound that decode has: a crafted file can make a
  // step endless.
  Clock::time_point deadline = Clock::now() + HistoryStore::kReadTimeBound;
  sqlite3_progress_handler(db, 1000, &history_sql::past_deadline, &deadline);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) {
    const int64_t first = sqlite3_column_int64(st, 0);
    const int64_t last = sqlite3_column_int64(st, 1);
    sqlite3_reset(st);
    std::string read_error;
    rc = history_rows::each_row_after(
             db, device_id, qrn_record::kDataId, first - 1,
             [&](int64_t, const std::string& saved_at, const unsigned char* bytes,
                 std::size_t size) {
               deadline = Clock::now() + HistoryStore::kReadTimeBound;
               if (saved_at < from || saved_at > to) return true;
               if (bytes == nullptr || size != qrn_record::kSize)
                 ++skipped;  // not a record of this driver
               else
                 take(bytes);
               return true;
             },
             read_error, last, qrn_record::kSize)
             ? SQLITE_DONE
             : sqlite3_errcode(db);
  } else if (rc == SQLITE_ROW) {
    rc = SQLITE_DONE;
  }
  sqlite3_reset(st);
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
  // Newest first, one chain at a time, so that only the rows of the
  // asked-for minutes are decoded.
  std::string read_error;
  int rc = history_rows::each_row_newest_first(
               db, device_id, qrn_record::kDataId,
               [&](int64_t, const std::string& saved_at, const unsigned char* bytes,
                   std::size_t size) {
                 if (saved_at < since) return false;
                 if (bytes != nullptr && size == qrn_record::kSize && offset + width <= size)
                   take(saved_at, bytes + offset);
                 return true;
               },
               read_error, qrn_record::kSize)
               ? SQLITE_DONE
               : sqlite3_errcode(db);
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
