#include "history_rows.h"

#include "history_handles.h"
#include "history_spool.h"
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

void Encoder::forget_if(const std::function<bool(uint32_t, int)>& gone) {
  for (auto it = streams_.begin(); it != streams_.end();)
    it = gone(it->first.first, it->first.second) ? streams_.erase(it) : std::next(it);
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

namespace {

// One delete_oldest: its statements, and the rows it has chosen so far.
class OldestRows {
 public:
  OldestRows(sqlite3* db, const std::string& cutoff, const std::string& not_after,
             bool whole_chains, int64_t max_seq)
      : db_(db), cutoff_(cutoff), not_after_(not_after), whole_chains_(whole_chains),
        max_seq_(max_seq) {}

  // The statements prepared and bound, the newest stream found: 1, or 0 when
  // the table is empty, -1 on failure.
  int prepare_all();
  // The rows to delete, up to `rows` of them: false on failure.
  bool choose(int rows);
  // The chosen rows deleted, the records above `floor` among them counted;
  // the rows deleted, -1 on failure.
  int remove(int64_t floor, unsigned long* unpublished);

 private:
  struct Row {
    int64_t seq;
    uint32_t device_id;
    int data_id;
  };
  using Stream = std::pair<uint32_t, int>;

  bool consider(const Row& r);
  void doom(const Row& r, int64_t end);
  // The chosen records a broker had not acknowledged; -1 on failure.
  long long unacknowledged(int64_t floor);

  sqlite3* const db_;
  const std::string& cutoff_;
  const std::string& not_after_;
  const bool whole_chains_;
  const int64_t max_seq_;
  StmtHandle scan_, next_full_, span_, newest_;
  Stream newest_stream_;
  std::string doomed_;  // the rows to delete, as conditions
  // Per stream: the rows before this seq are decided (deleted or kept).
  std::map<Stream, int64_t> decided_;
  int count_ = 0;
};

int OldestRows::prepare_all() {
  const std::string form = form_column(db_);
  scan_ = prepare(db_, "SELECT seq, device_id, data_id, saved_at < ?1, saved_at > ?2 FROM history "
                       "WHERE seq <= ?3 ORDER BY seq");
  next_full_ =
      prepare(db_, "SELECT seq FROM history WHERE device_id = ?1 AND data_id = ?2 AND seq > ?3 AND " +
                       form + " = 0 ORDER BY seq LIMIT 1");
  // The rows from one up to the stream's next full row, and how many of them
  // are within the limit (neither old nor ahead).
  span_ = prepare(db_, "SELECT count(*), coalesce(sum(NOT (?5 = '' OR saved_at < ?5 OR (?6 <> '' AND "
                       "saved_at > ?6))), 0) FROM history WHERE device_id = ?1 AND data_id = ?2 AND "
                       "seq >= ?3 AND seq < ?4");
  newest_ = prepare(db_, "SELECT device_id, data_id FROM history ORDER BY seq DESC LIMIT 1");
  if (!scan_ || !next_full_ || !span_ || !newest_) return -1;
  const int found = sqlite3_step(newest_.get());
  if (found == SQLITE_DONE) return 0;
  if (found != SQLITE_ROW) return -1;
  // The stream of the table's newest row keeps its last chain whatever
  // happens: that row's seq is what the next row's follows.
  newest_stream_ = {static_cast<uint32_t>(sqlite3_column_int64(newest_.get(), 0)),
                    sqlite3_column_int(newest_.get(), 1)};
  sqlite3_bind_text(scan_.get(), 1, cutoff_.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(scan_.get(), 2, not_after_.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(scan_.get(), 3, max_seq_ < 0 ? INT64_MAX : max_seq_);
  sqlite3_bind_text(span_.get(), 5, cutoff_.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(span_.get(), 6, not_after_.c_str(), -1, SQLITE_TRANSIENT);
  return 1;
}

void OldestRows::doom(const Row& r, int64_t end) {
  doomed_ += (doomed_.empty() ? "" : " OR ") + std::string("(device_id = ") +
             std::to_string(r.device_id) + " AND data_id = " + std::to_string(r.data_id) +
             " AND seq >= " + std::to_string(r.seq) + " AND seq < " + std::to_string(end) + ")";
}

// A row goes with the rest of its chain up to the stream's next full row,
// all of them or none; the stream's last chain stays (the writer goes on
// from it) unless whole chains may go.
bool OldestRows::consider(const Row& r) {
  const Stream stream{r.device_id, r.data_id};
  const auto seen = decided_.find(stream);
  if (seen != decided_.end() && r.seq < seen->second) return true;
  sqlite3_reset(next_full_.get());
  bind_stream(next_full_.get(), r.device_id, r.data_id);
  sqlite3_bind_int64(next_full_.get(), 3, r.seq);
  int rc = sqlite3_step(next_full_.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  if (rc == SQLITE_DONE) {
    decided_[stream] = INT64_MAX;
    if (!whole_chains_ || stream == newest_stream_ || max_seq_ >= 0) return true;
    doom(r, INT64_MAX);
    ++count_;
    return true;
  }
  const int64_t end = sqlite3_column_int64(next_full_.get(), 0);
  decided_[stream] = end;
  if (max_seq_ >= 0 && end - 1 > max_seq_) return true;  // the chain reaches rows that stay
  sqlite3_reset(span_.get());
  bind_stream(span_.get(), r.device_id, r.data_id);
  sqlite3_bind_int64(span_.get(), 3, r.seq);
  sqlite3_bind_int64(span_.get(), 4, end);
  rc = sqlite3_step(span_.get());
  if (rc != SQLITE_ROW) return false;
  if (sqlite3_column_int64(span_.get(), 1) != 0) return true;  // a row of it is kept
  doom(r, end);
  count_ += sqlite3_column_int(span_.get(), 0);
  return true;
}

bool OldestRows::choose(int rows) {
  std::vector<Row> ahead;  // future-dated rows waiting for an old row after them
  int rc = SQLITE_DONE;
  while (count_ < rows && (rc = sqlite3_step(scan_.get())) == SQLITE_ROW) {
    const Row r{sqlite3_column_int64(scan_.get(), 0),
                static_cast<uint32_t>(sqlite3_column_int64(scan_.get(), 1)),
                sqlite3_column_int(scan_.get(), 2)};
    if (cutoff_.empty() || sqlite3_column_int(scan_.get(), 3) != 0) {
      for (const Row& a : ahead)
        if (!consider(a)) return false;
      ahead.clear();
      if (!consider(r)) return false;
    } else if (!not_after_.empty() && sqlite3_column_int(scan_.get(), 4) != 0) {
      ahead.push_back(r);
    } else {
      break;
    }
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

int OldestRows::remove(int64_t floor, unsigned long* unpublished) {
  if (doomed_.empty()) return 0;
  sqlite3_reset(scan_.get());
  sqlite3_reset(next_full_.get());
  sqlite3_reset(span_.get());
  sqlite3_reset(newest_.get());
  long long lost = 0;
  if (unpublished && floor >= 0 && (lost = unacknowledged(floor)) < 0) return -1;
  const std::string sql = "DELETE FROM history WHERE " + doomed_;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return -1;
  // Counted once the rows are gone: a delete that failed deleted nothing.
  if (unpublished) *unpublished += static_cast<unsigned long>(lost);
  return sqlite3_changes(db_);
}

// Each chosen record above `floor` checked against its own device's
// progress (history_spool.h): acknowledged up to replay, within a skip, or
// live after the boundary up to live.
long long OldestRows::unacknowledged(int64_t floor) {
  const StmtHandle q = prepare(
      db_, "SELECT h.seq, p.replay, p.boundary, p.live, p.skips FROM (SELECT seq, device_id "
           "FROM history WHERE data_id = " + std::to_string(qrn_record::kDataId) +
               " AND seq > " + std::to_string(floor) + " AND (" + doomed_ +
               ")) h JOIN publish_progress p ON p.device_id = h.device_id");
  if (!q) return -1;
  long long n = 0;
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    const int64_t seq = sqlite3_column_int64(q.get(), 0);
    const int64_t replay = sqlite3_column_int64(q.get(), 1);
    const int64_t boundary = sqlite3_column_int64(q.get(), 2);
    const int64_t live = sqlite3_column_int64(q.get(), 3);
    const auto* text = sqlite3_column_text(q.get(), 4);
    bool acknowledged = seq <= replay || (seq > boundary && seq <= live);
    if (!acknowledged && text != nullptr)
      for (const auto& skip : skips_from_text(reinterpret_cast<const char*>(text)))
        acknowledged = acknowledged || (seq > skip.first && seq <= skip.second);
    if (!acknowledged) ++n;
  }
  return rc == SQLITE_DONE ? n : -1;
}

}  // namespace

int delete_oldest(sqlite3* db, const std::string& cutoff, const std::string& not_after, int rows,
                  bool whole_chains, int64_t max_seq, int64_t floor, unsigned long* unpublished) {
  OldestRows oldest(db, cutoff, not_after, whole_chains, max_seq);
  const int ready = oldest.prepare_all();
  if (ready <= 0) return ready;
  if (!oldest.choose(rows)) return -1;
  return oldest.remove(floor, unpublished);
}

}  // namespace history_rows
