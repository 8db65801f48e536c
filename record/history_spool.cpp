#include "history_spool.h"

#include "history_rows.h"
#include "history_schema.h"
#include "record.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

using history_sql::StmtHandle;

const char* const kSpoolSchema =
    "CREATE TABLE IF NOT EXISTS publish_progress ("
    "  device_id INTEGER PRIMARY KEY,"
    "  replay INTEGER NOT NULL, boundary INTEGER NOT NULL, live INTEGER NOT NULL,"
    "  skips TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS publish_node (name TEXT PRIMARY KEY, value INTEGER NOT NULL);";

StmtHandle prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return nullptr;
  }
  return StmtHandle(st);
}

bool failed(sqlite3* db, std::string& error) {
  error = history_sql::db_error(db, "history spool");
  return false;
}


}  // namespace

std::string skips_text(const std::vector<std::pair<int64_t, int64_t>>& skips) {
  std::string out;
  for (const auto& s : skips)
    out += (out.empty() ? "" : ",") + std::to_string(s.first) + "-" + std::to_string(s.second);
  return out;
}

std::vector<std::pair<int64_t, int64_t>> skips_from_text(const std::string& text) {
  std::vector<std::pair<int64_t, int64_t>> out;
  const char* p = text.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    const long long from = std::strtoll(p, &end, 10);
    if (end == p || *end != '-') return {};
    p = end + 1;
    const long long to = std::strtoll(p, &end, 10);
    if (end == p || (*end != ',' && *end != '\0') || to < from) return {};
    out.emplace_back(from, to);
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

bool HistorySpool::open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK) {
    error = history_sql::db_error(db, "cannot open history " + path + " for publishing");
    close();
    return false;
  }
  // The host's saves hold the write lock briefly; the store checkpoints.
  sqlite3_busy_timeout(db, history_sql::kBusyMillis);
  sqlite3_wal_autocheckpoint(db, 0);
  if (sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kSpoolSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = history_sql::db_error(db, "cannot use history " + path + " for publishing");
    close();
    return false;
  }
  return true;
}

bool HistorySpool::next_bd_seq(uint64_t& out, std::string& error) {
  sqlite3* db = db_.get();
  auto st = prepare(db,
                    "INSERT INTO publish_node (name, value) VALUES ('bdSeq', 0) "
                    "ON CONFLICT(name) DO UPDATE SET value = (value + 1) % 256 RETURNING value");
  if (!st || sqlite3_step(st.get()) != SQLITE_ROW) return failed(db, error);
  out = static_cast<uint64_t>(sqlite3_column_int64(st.get(), 0));
  return sqlite3_step(st.get()) == SQLITE_DONE || failed(db, error);
}

bool HistorySpool::progress(uint32_t device_id, SpoolProgress& out, bool& found,
                            std::string& error) {
  sqlite3* db = db_.get();
  auto st = prepare(db,
                    "SELECT replay, boundary, live, skips FROM publish_progress WHERE device_id = ?1");
  if (!st) return failed(db, error);
  sqlite3_bind_int64(st.get(), 1, device_id);
  const int rc = sqlite3_step(st.get());
  found = rc == SQLITE_ROW;
  if (found) {
    out.replay = sqlite3_column_int64(st.get(), 0);
    out.boundary = sqlite3_column_int64(st.get(), 1);
    out.live = sqlite3_column_int64(st.get(), 2);
    const auto* text = sqlite3_column_text(st.get(), 3);
    out.skips = skips_from_text(text ? reinterpret_cast<const char*>(text) : "");
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE || failed(db, error);
}

sqlite3_stmt* HistorySpool::cached(history_sql::StmtHandle& slot, const char* sql) {
  if (!slot) slot = prepare(db_.get(), sql);
  if (slot) {
    sqlite3_reset(slot.get());
    sqlite3_clear_bindings(slot.get());
  }
  return slot.get();
}

bool HistorySpool::begin(std::string& error) {
  return sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK ||
         failed(db_.get(), error);
}

bool HistorySpool::commit(std::string& error) {
  if (sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  failed(db_.get(), error);
  sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

bool HistorySpool::save_progress(uint32_t device_id, const SpoolProgress& p, std::string& error) {
  sqlite3* db = db_.get();
  sqlite3_stmt* st = cached(save_,
                            "INSERT OR REPLACE INTO publish_progress (device_id, replay, "
                            "boundary, live, skips) VALUES (?1, ?2, ?3, ?4, ?5)");
  if (st == nullptr) return failed(db, error);
  sqlite3_bind_int64(st, 1, device_id);
  sqlite3_bind_int64(st, 2, p.replay);
  sqlite3_bind_int64(st, 3, p.boundary);
  sqlite3_bind_int64(st, 4, p.live);
  const std::string skips = skips_text(p.skips);
  sqlite3_bind_text(st, 5, skips.c_str(), -1, SQLITE_TRANSIENT);
  const bool done = sqlite3_step(st) == SQLITE_DONE;
  sqlite3_reset(st);
  return done || failed(db, error);
}

bool HistorySpool::forget_others(const std::vector<uint32_t>& device_ids, std::string& error) {
  sqlite3* db = db_.get();
  std::string list;
  for (uint32_t id : device_ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  const std::string sql = "DELETE FROM publish_progress WHERE device_id NOT IN (" + list + ")";
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
         failed(db, error);
}

namespace {

// A decoded row into `out`.
history_rows::RowTake keep_row(SpoolRow& out) {
  return [&out](int64_t seq, const std::string& saved_at, const unsigned char* bytes,
                std::size_t size) {
    out.seq = seq;
    out.saved_at = saved_at;
    out.bytes.assign(bytes, bytes + size);
    return false;  // the newest one only
  };
}

}  // namespace

bool HistorySpool::number(SpoolRow& row, std::string& error) {
  sqlite3_stmt* st = cached(round_seq_, "SELECT round_seq FROM history WHERE seq = ?1");
  if (st == nullptr) return failed(db_.get(), error);
  sqlite3_bind_int64(st, 1, row.seq);
  const int rc = sqlite3_step(st);
  row.round_seq = rc == SQLITE_ROW ? static_cast<uint64_t>(sqlite3_column_int64(st, 0)) : 0;
  sqlite3_reset(st);
  return rc == SQLITE_ROW || rc == SQLITE_DONE || failed(db_.get(), error);
}

bool HistorySpool::newest(uint32_t device_id, int data_id, SpoolRow& out, std::string& error) {
  out = SpoolRow{};
  return history_rows::each_row_newest_first(db_.get(), device_id, data_id, keep_row(out),
                                             error) &&
         (out.seq == 0 || number(out, error));
}

bool HistorySpool::newest_other(uint32_t device_id, int data_id, SpoolRow& out,
                                std::string& error) {
  sqlite3* db = db_.get();
  auto st = prepare(db,
                    "SELECT data_id FROM history WHERE device_id = ?1 AND "
                    "data_id <> ?2 ORDER BY seq DESC LIMIT 1");
  if (!st) return failed(db, error);
  sqlite3_bind_int64(st.get(), 1, device_id);
  sqlite3_bind_int(st.get(), 2, data_id);
  out = SpoolRow{};
  const int rc = sqlite3_step(st.get());
  if (rc == SQLITE_DONE) return true;
  if (rc != SQLITE_ROW) return failed(db, error);
  const int other = sqlite3_column_int(st.get(), 0);
  st.reset();
  return history_rows::each_row_newest_first(db, device_id, other, keep_row(out), error);
}

bool HistorySpool::rows_after(uint32_t device_id, int data_id, int64_t after, int64_t upto,
                              std::size_t limit, std::vector<SpoolRow>& out, std::string& error) {
  out.clear();
  if (limit == 0) return true;
  const auto same_stream = [&](const Seed& s) { return s.device_id == device_id && s.data_id == data_id; };
  auto seed = std::find_if(seeds_.begin(), seeds_.end(),
                           [&](const Seed& s) { return same_stream(s) && s.seq == after; });
  const bool seeded = seed != seeds_.end();
  if (seeded) decoder_.feed(history_rows::kFull, seed->bytes.data(), seed->bytes.size());
  if (!history_rows::each_row_after(
          db_.get(), decoder_, seeded, device_id, data_id, after,
          [&out, limit](int64_t seq, const std::string& saved_at, const unsigned char* bytes,
                        std::size_t size) {
            out.push_back(SpoolRow{seq, 0, saved_at, std::vector<unsigned char>(bytes, bytes + size)});
            return out.size() < limit;
          },
          error, upto)) {
    if (seeded) seeds_.erase(seed);
    return false;
  }
  if (out.empty()) return true;
  for (SpoolRow& row : out)
    if (!number(row, error)) return false;
  if (!seeded) {
    if (std::count_if(seeds_.begin(), seeds_.end(), same_stream) < 2) {
      seeds_.push_back(Seed{device_id, data_id, 0, {}, 0});
      seed = seeds_.end() - 1;
    } else {
      seed = seeds_.end();
      for (auto s = seeds_.begin(); s != seeds_.end(); ++s)
        if (same_stream(*s) && (seed == seeds_.end() || s->used < seed->used)) seed = s;
    }
  }
  seed->seq = out.back().seq;
  seed->bytes = out.back().bytes;
  seed->used = ++reads_;
  return true;
}

bool HistorySpool::count(uint32_t device_id, int data_id, int64_t after, int64_t upto,
                         uint64_t& n, std::string& oldest, std::string& error) {
  sqlite3* db = db_.get();
  sqlite3_stmt* st = cached(count_,
                            "SELECT count(*), (SELECT saved_at FROM history WHERE device_id = ?1 AND "
                            "data_id = ?2 AND seq > ?3 AND seq <= ?4 ORDER BY seq LIMIT 1) FROM "
                            "history WHERE device_id = ?1 AND data_id = ?2 AND seq > ?3 AND seq <= ?4");
  if (st == nullptr) return failed(db, error);
  sqlite3_bind_int64(st, 1, device_id);
  sqlite3_bind_int(st, 2, data_id);
  sqlite3_bind_int64(st, 3, after);
  sqlite3_bind_int64(st, 4, upto);
  if (sqlite3_step(st) != SQLITE_ROW) return failed(db, error);
  n = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
  const auto* text = sqlite3_column_text(st, 1);
  oldest = text ? reinterpret_cast<const char*>(text) : "";
  sqlite3_reset(st);
  return true;
}

bool HistorySpool::backlog(uint32_t device_id, int data_id, const SpoolProgress& p,
                           uint64_t& total, std::string& oldest, std::string& error,
                           int64_t upto) {
  total = 0;
  oldest.clear();
  // The replay's part, between the acknowledged ranges, then the live part.
  std::vector<std::pair<int64_t, int64_t>> open;
  int64_t from = p.replay;
  for (const auto& s : p.skips) {
    if (s.first > from && s.first <= p.boundary) open.emplace_back(from, s.first);
    if (s.second > from) from = s.second;
  }
  if (from < p.boundary) open.emplace_back(from, p.boundary);
  if (std::max(p.live, p.boundary) < upto) open.emplace_back(std::max(p.live, p.boundary), upto);
  for (const auto& range : open) {
    uint64_t n = 0;
    std::string first;
    if (!count(device_id, data_id, range.first, range.second, n, first, error)) return false;
    total += n;
    if (oldest.empty()) oldest = first;
  }
  return true;
}

int64_t unpublished_floor(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  int64_t floor = -1;
  const std::string sql =
      "SELECT min((SELECT min(seq) FROM history h WHERE h.device_id = p.device_id AND "
      "h.data_id = " + std::to_string(qrn_record::kDataId) + " AND h.seq > CASE WHEN replay >= "
      "boundary THEN max(replay, live) ELSE replay END)) - 1 FROM publish_progress p";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
    floor = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return floor;
}
