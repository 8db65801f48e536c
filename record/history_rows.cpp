#include "history_rows.h"

#include "history_handles.h"
#include "record.h"

#include <zstd.h>

#include <algorithm>

namespace history_rows {

namespace {

// Fast and still small: a round's changes are few and scattered.
constexpr int kLevel = 1;

using history_sql::StmtHandle;

StmtHandle prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  return StmtHandle(st);
}

void bind_stream(sqlite3_stmt* st, uint32_t device_id, int data_id) {
  sqlite3_bind_int64(st, 1, device_id);
  sqlite3_bind_int(st, 2, data_id);
}

// The seq of the stream's full row at or before `seq`; -1 when none, -2 on failure.
int64_t full_row_at_or_before(sqlite3* db, uint32_t device_id, int data_id, int64_t seq) {
  const StmtHandle st = prepare(db, std::string("SELECT max(seq) FROM history WHERE device_id = ?1 "
                                                "AND data_id = ?2 AND seq <= ?3 AND ") +
                                        form_column(db) + " = 0");
  if (!st) return -2;
  bind_stream(st.get(), device_id, data_id);
  sqlite3_bind_int64(st.get(), 3, seq);
  if (sqlite3_step(st.get()) != SQLITE_ROW) return -2;
  return sqlite3_column_type(st.get(), 0) == SQLITE_NULL ? -1 : sqlite3_column_int64(st.get(), 0);
}

// The stream's rows from `from` to `to` in seq order, decoded, to `take`;
// false with `error` when the query fails; `stopped` when take said so.
bool read_chain(sqlite3* db, uint32_t device_id, int data_id, int64_t from, int64_t to,
                std::size_t only_size, const RowTake& take, bool& stopped, std::string& error,
                Decoder& decoder) {
  // With `only_size`, a full row of another size is never loaded (length()
  // of a blob does not read it), nor a delta larger than a row could need.
  const std::string form = form_column(db);
  const StmtHandle st = prepare(
      db, "SELECT seq, saved_at, " + form + ", CASE WHEN typeof(record) <> 'blob' THEN NULL "
              "WHEN ?5 = 0 THEN record WHEN " + form + " = 0 THEN CASE WHEN length(record) = ?5 "
              "THEN record END WHEN length(record) <= 2 * ?5 + 64 THEN record END, "
              "length(record) FROM history WHERE device_id = ?1 AND data_id = ?2 AND "
              "seq >= ?3 AND seq <= ?4 ORDER BY seq");
  if (!st) {
    error = sqlite3_errmsg(db);
    return false;
  }
  bind_stream(st.get(), device_id, data_id);
  sqlite3_bind_int64(st.get(), 3, from);
  sqlite3_bind_int64(st.get(), 4, to);
  sqlite3_bind_int64(st.get(), 5, static_cast<sqlite3_int64>(only_size));
  std::size_t unloaded = 0;  // the size of the chain's rows not loaded
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const int row_form = sqlite3_column_int(st.get(), 2);
    const auto* saved = sqlite3_column_text(st.get(), 1);
    const std::string saved_at = saved ? reinterpret_cast<const char*>(saved) : "";
    const int64_t seq = sqlite3_column_int64(st.get(), 0);
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    bool decoded = false;
    if (sqlite3_column_type(st.get(), 3) == SQLITE_BLOB) {
      const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st.get(), 3));
      const int stored = sqlite3_column_bytes(st.get(), 3);
      decoded = decoder.feed(row_form, blob, static_cast<std::size_t>(stored));
      if (row_form == kFull) unloaded = 0;
    } else if (row_form == kFull) {
      // Not loaded: the caller sees its size alone, and so its deltas'.
      unloaded = static_cast<std::size_t>(sqlite3_column_int64(st.get(), 4));
      decoder.feed(kDelta, nullptr, 0);  // the chain's deltas cannot be decoded
    }
    if (decoded) {
      bytes = decoder.bytes().data();
      size = decoder.bytes().size();
    } else if (unloaded > 0) {
      size = unloaded;
    } else {
      continue;  // a delta without its full row, a damaged one
    }
    if (!take(seq, saved_at, bytes, size)) {
      stopped = true;
      return true;
    }
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

}  // namespace

const char* form_column(sqlite3* db) {
  const StmtHandle st =
      prepare(db, "SELECT 1 FROM pragma_table_info('history') WHERE name = 'form'");
  return st && sqlite3_step(st.get()) == SQLITE_ROW ? "form" : "0";
}

Encoder::Encoder() : cctx_(ZSTD_createCCtx()) {}
Encoder::~Encoder() { ZSTD_freeCCtx(cctx_); }

int Encoder::encode(uint32_t device_id, int data_id, const unsigned char* bytes, std::size_t size,
                    std::vector<unsigned char>& out) {
  Stream& s = streams_[{device_id, data_id}];
  const bool full = cctx_ == nullptr || s.previous.size() != size || s.since_full + 1 >= kFullEvery;
  int form = kFull;
  if (!full) {
    xored_.resize(size);
    for (std::size_t i = 0; i < size; ++i) xored_[i] = bytes[i] ^ s.previous[i];
    out.resize(ZSTD_compressBound(size));
    const std::size_t n = ZSTD_compressCCtx(cctx_, out.data(), out.size(), xored_.data(), size, kLevel);
    // A delta no smaller than the row itself is not worth its chain.
    if (!ZSTD_isError(n) && n < size) {
      out.resize(n);
      form = kDelta;
    }
  }
  if (form == kFull) {
    out.assign(bytes, bytes + size);
    s.since_full = 0;
  } else {
    ++s.since_full;
  }
  s.previous.assign(bytes, bytes + size);
  return form;
}

Decoder::Decoder() : dctx_(ZSTD_createDCtx()) {}
Decoder::~Decoder() { ZSTD_freeDCtx(dctx_); }

bool Decoder::feed(int form, const unsigned char* stored, std::size_t size) {
  if (form == kFull) {
    current_.assign(stored, stored + size);
    have_ = true;
    return true;
  }
  if (form != kDelta || !have_ || dctx_ == nullptr || stored == nullptr) {
    have_ = false;
    return false;
  }
  // A delta decodes to exactly the size of the row before it.
  xored_.resize(current_.size());
  const std::size_t n = ZSTD_decompressDCtx(dctx_, xored_.data(), xored_.size(), stored, size);
  if (ZSTD_isError(n) || n != current_.size()) {
    have_ = false;
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) current_[i] ^= xored_[i];
  return true;
}

// The rows after `after_seq` through `decoder`; `seeded` as each_row_after says.
static bool rows_after(sqlite3* db, Decoder& decoder, bool seeded, uint32_t device_id,
                       int data_id, int64_t after_seq, const RowTake& take, std::string& error,
                       int64_t until_seq, std::size_t only_size) {
  bool stopped = false;
  if (seeded)
    return after_seq == INT64_MAX ||
           read_chain(db, device_id, data_id, after_seq + 1, until_seq, only_size, take, stopped,
                      error, decoder);
  decoder.reset();
  const StmtHandle first = prepare(
      db, "SELECT min(seq) FROM history WHERE device_id = ?1 AND data_id = ?2 AND seq > ?3");
  if (!first) {
    error = sqlite3_errmsg(db);
    return false;
  }
  bind_stream(first.get(), device_id, data_id);
  sqlite3_bind_int64(first.get(), 3, after_seq);
  if (sqlite3_step(first.get()) != SQLITE_ROW) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (sqlite3_column_type(first.get(), 0) == SQLITE_NULL) return true;
  const int64_t start = sqlite3_column_int64(first.get(), 0);
  const int64_t base = full_row_at_or_before(db, device_id, data_id, start);
  if (base == -2) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return read_chain(
      db, device_id, data_id, base >= 0 ? base : start, until_seq, only_size,
      [&](int64_t seq, const std::string& saved_at, const unsigned char* bytes, std::size_t size) {
        return seq <= after_seq || take(seq, saved_at, bytes, size);
      },
      stopped, error, decoder);
}

bool each_row_after(sqlite3* db, uint32_t device_id, int data_id, int64_t after_seq,
                    const RowTake& take, std::string& error, int64_t until_seq,
                    std::size_t only_size) {
  Decoder decoder;
  return rows_after(db, decoder, false, device_id, data_id, after_seq, take, error, until_seq,
                    only_size);
}

bool each_row_after(sqlite3* db, Decoder& decoder, bool seeded, uint32_t device_id, int data_id,
                    int64_t after_seq, const RowTake& take, std::string& error,
                    int64_t until_seq) {
  return rows_after(db, decoder, seeded, device_id, data_id, after_seq, take, error, until_seq, 0);
}

bool each_row_newest_first(sqlite3* db, uint32_t device_id, int data_id, const RowTake& take,
                           std::string& error, std::size_t only_size) {
  struct Row {
    int64_t seq;
    std::string saved_at;
    std::size_t size;
    std::vector<unsigned char> bytes;  // empty when not loaded
  };
  std::vector<Row> chain;
  for (int64_t end = INT64_MAX;;) {
    int64_t base = full_row_at_or_before(db, device_id, data_id, end);
    if (base == -2) {
      error = sqlite3_errmsg(db);
      return false;
    }
    // No full row left: the oldest deltas have lost theirs and decode to nothing.
    if (base < 0) return true;
    chain.clear();
    bool stopped = false;
    Decoder decoder;
    if (!read_chain(
            db, device_id, data_id, base, end, only_size,
            [&](int64_t seq, const std::string& saved_at, const unsigned char* bytes,
                std::size_t size) {
              chain.push_back({seq, saved_at, size,
                               bytes ? std::vector<unsigned char>(bytes, bytes + size)
                                     : std::vector<unsigned char>()});
              return true;
            },
            stopped, error, decoder))
      return false;
    for (auto row = chain.rbegin(); row != chain.rend(); ++row)
      if (!take(row->seq, row->saved_at, row->bytes.empty() ? nullptr : row->bytes.data(),
                row->size))
        return true;
    if (base == 0) return true;
    end = base - 1;
  }
}

int delete_oldest(sqlite3* db, const std::string& cutoff, const std::string& not_after, int rows,
                  bool whole_chains, int64_t max_seq, int64_t floor, unsigned long* unpublished) {
  const std::string form = form_column(db);
  const StmtHandle scan =
      prepare(db, "SELECT seq, device_id, data_id, saved_at < ?1, saved_at > ?2 FROM history "
                  "WHERE seq <= ?3 ORDER BY seq");
  const StmtHandle next_full =
      prepare(db, "SELECT seq FROM history WHERE device_id = ?1 AND data_id = ?2 AND seq > ?3 AND " +
                      form + " = 0 ORDER BY seq LIMIT 1");
  // The rows from one up to the stream's next full row, and how many of them
  // are within the limit (neither old nor ahead).
  const StmtHandle span =
      prepare(db, "SELECT count(*), coalesce(sum(NOT (?5 = '' OR saved_at < ?5 OR (?6 <> '' AND "
                  "saved_at > ?6))), 0) FROM history WHERE device_id = ?1 AND data_id = ?2 AND "
                  "seq >= ?3 AND seq < ?4");
  const StmtHandle newest =
      prepare(db, "SELECT device_id, data_id FROM history ORDER BY seq DESC LIMIT 1");
  if (!scan || !next_full || !span || !newest) return -1;
  const int found = sqlite3_step(newest.get());
  if (found == SQLITE_DONE) return 0;
  if (found != SQLITE_ROW) return -1;
  // The stream of the table's newest row keeps its last chain whatever
  // happens: that row's seq is what the next row's follows.
  const std::pair<uint32_t, int> newest_stream{
      static_cast<uint32_t>(sqlite3_column_int64(newest.get(), 0)), sqlite3_column_int(newest.get(), 1)};
  sqlite3_bind_text(scan.get(), 1, cutoff.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(scan.get(), 2, not_after.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(scan.get(), 3, max_seq < 0 ? INT64_MAX : max_seq);
  sqlite3_bind_text(span.get(), 5, cutoff.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(span.get(), 6, not_after.c_str(), -1, SQLITE_TRANSIENT);

  struct Row {
    int64_t seq;
    uint32_t device_id;
    int data_id;
  };
  std::vector<Row> ahead;  // future-dated rows waiting for an old row after them
  std::string doomed;      // the rows to delete, as conditions
  // Per stream: the rows before this seq are decided (deleted or kept).
  std::map<std::pair<uint32_t, int>, int64_t> decided;
  int count = 0;
  auto add = [&](const Row& r, int64_t end) {
    doomed += (doomed.empty() ? "" : " OR ") + std::string("(device_id = ") +
              std::to_string(r.device_id) + " AND data_id = " + std::to_string(r.data_id) +
              " AND seq >= " + std::to_string(r.seq) + " AND seq < " + std::to_string(end) + ")";
  };
  // A row goes with the rest of its chain up to the stream's next full row,
  // all of them or none; the stream's last chain stays (the writer goes on
  // from it) unless whole chains may go.
  auto consider = [&](const Row& r) {
    const std::pair<uint32_t, int> stream{r.device_id, r.data_id};
    const auto seen = decided.find(stream);
    if (seen != decided.end() && r.seq < seen->second) return true;
    sqlite3_reset(next_full.get());
    bind_stream(next_full.get(), r.device_id, r.data_id);
    sqlite3_bind_int64(next_full.get(), 3, r.seq);
    int rc = sqlite3_step(next_full.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    if (rc == SQLITE_DONE) {
      decided[stream] = INT64_MAX;
      if (!whole_chains || stream == newest_stream || max_seq >= 0) return true;
      add(r, INT64_MAX);
      ++count;
      return true;
    }
    const int64_t end = sqlite3_column_int64(next_full.get(), 0);
    decided[stream] = end;
    if (max_seq >= 0 && end - 1 > max_seq) return true;  // the chain reaches rows that stay
    sqlite3_reset(span.get());
    bind_stream(span.get(), r.device_id, r.data_id);
    sqlite3_bind_int64(span.get(), 3, r.seq);
    sqlite3_bind_int64(span.get(), 4, end);
    rc = sqlite3_step(span.get());
    if (rc != SQLITE_ROW) return false;
    if (sqlite3_column_int64(span.get(), 1) != 0) return true;  // a row of it is kept
    add(r, end);
    count += sqlite3_column_int(span.get(), 0);
    return true;
  };
  int rc = SQLITE_DONE;
  while (count < rows && (rc = sqlite3_step(scan.get())) == SQLITE_ROW) {
    const Row r{sqlite3_column_int64(scan.get(), 0),
                static_cast<uint32_t>(sqlite3_column_int64(scan.get(), 1)),
                sqlite3_column_int(scan.get(), 2)};
    if (cutoff.empty() || sqlite3_column_int(scan.get(), 3) != 0) {
      for (const Row& a : ahead)
        if (!consider(a)) return -1;
      ahead.clear();
      if (!consider(r)) return -1;
    } else if (!not_after.empty() && sqlite3_column_int(scan.get(), 4) != 0) {
      ahead.push_back(r);
    } else {
      break;
    }
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return -1;
  if (doomed.empty()) return 0;
  sqlite3_reset(scan.get());
  sqlite3_reset(next_full.get());
  sqlite3_reset(span.get());
  sqlite3_reset(newest.get());
  if (unpublished && floor >= 0) {
    const StmtHandle above = prepare(
        db, "SELECT count(*) FROM history WHERE data_id = " + std::to_string(qrn_record::kDataId) +
                " AND seq > " + std::to_string(floor) + " AND (" + doomed + ")");
    if (!above || sqlite3_step(above.get()) != SQLITE_ROW) return -1;
    *unpublished += static_cast<unsigned long>(sqlite3_column_int64(above.get(), 0));
  }
  const std::string sql = "DELETE FROM history WHERE " + doomed;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return -1;
  return sqlite3_changes(db);
}

}  // namespace history_rows
