#pragma once

// How rows are stored and read back: per stream (a device's rows under one
// data id), a row is either its bytes as saved (a full row) or the XOR with
// the stream's previous row, compressed (a delta row of the same size). A
// full row starts each chain: at least every kFullEvery rows, whenever the
// size changes, and first in each run of the host. Every reader decodes
// through here and gets the bytes as they were saved.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace history_rows {

// The `form` column: absent in files made before compact rows (all full).
enum Form : int { kFull = 0, kDelta = 1 };
constexpr int kFullEvery = 60;

// "form" when the file's table has the column, "0" when it is an older file.
const char* form_column(sqlite3* db);

// The writer's side: what each stream stored last.
class Encoder {
 public:
  Encoder();
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // The row to store for `bytes`: its form, and the stored bytes in `out`
  // (the bytes themselves for a full row).
  int encode(uint32_t device_id, int data_id, const unsigned char* bytes, std::size_t size,
             std::vector<unsigned char>& out);
  // Every stream's next row is a full one (its chain may have been deleted).
  void forget() { streams_.clear(); }
  // The streams for which `gone(device_id, data_id)` is true: their next row
  // is a full one.
  void forget_if(const std::function<bool(uint32_t, int)>& gone);

 private:
  struct Stream {
    std::vector<unsigned char> previous;
    int since_full = 0;
  };
  std::map<std::pair<uint32_t, int>, Stream> streams_;
  std::vector<unsigned char> xored_;
  ZSTD_CCtx_s* cctx_;
};

// The reader's side of one stream, fed its rows in seq order.
class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // False when the row cannot be decoded (a delta without its full row, a
  // damaged frame); the rows after it wait for the next full row.
  bool feed(int form, const unsigned char* stored, std::size_t size);
  const std::vector<unsigned char>& bytes() const { return current_; }
  // Forgets the row it holds: the next delta waits for a full row.
  void reset() { have_ = false; }

 private:
  std::vector<unsigned char> current_;
  std::vector<unsigned char> xored_;
  bool have_ = false;
  ZSTD_DCtx_s* dctx_;
};

// One decoded row: its seq, saved time and bytes; return false to stop. With
// `only_size`, a row of another size comes with its size and no bytes.
using RowTake = std::function<bool(int64_t seq, const std::string& saved_at,
                                   const unsigned char* bytes, std::size_t size)>;

// The stream's rows after `after_seq` (and up to `until_seq`), oldest first,
// starting from the full row before the first when it is a delta. Rows that
// cannot be decoded are passed over. False with `error` (SQLite's reason).
bool each_row_after(sqlite3* db, uint32_t device_id, int data_id, int64_t after_seq,
                    const RowTake& take, std::string& error,
                    int64_t until_seq = INT64_MAX, std::size_t only_size = 0);
// The same with the caller's decoder, kept across calls. With `seeded` the
// decoder already holds the stream's row at `after_seq` (fed as a full row),
// and only the rows after it are read: a reader that follows the stream
// decodes each new row once instead of its chain from the full row.
bool each_row_after(sqlite3* db, Decoder& decoder, bool seeded, uint32_t device_id, int data_id,
                    int64_t after_seq, const RowTake& take, std::string& error,
                    int64_t until_seq = INT64_MAX);

// The stream's rows newest first, one chain at a time (at most kFullEvery
// rows held), until `take` returns false.
bool each_row_newest_first(sqlite3* db, uint32_t device_id, int data_id, const RowTake& take,
                           std::string& error, std::size_t only_size = 0);

// Deletes up to `rows` of the oldest rows that are older than `cutoff` (any
// row when it is empty), oldest first by seq; a row saved after `not_after`
// (a clock that was ahead) is passed over and goes with the first old row
// after it. A stream's row goes only when a later full row of the stream
// (old itself) stays, so that no delta row loses its full row and each
// stream keeps its newest chain; with `whole_chains` (a full disk, the writer
// starts over with full rows) a stream's last chain may go too, whole. The
// scan ends at the first row within the limit. Rows above `max_seq` (when not
// negative) stay, and so does a chain that reaches above it; the records (data
// id 5156) deleted above `floor` (when not negative) that their device's
// publishing progress does not count acknowledged are added to
// `*unpublished`, once deleted. Returns the rows deleted, -1 on failure.
int delete_oldest(sqlite3* db, const std::string& cutoff, const std::string& not_after, int rows,
                  bool whole_chains = false, int64_t max_seq = -1, int64_t floor = -1,
                  unsigned long* unpublished = nullptr);

}  // namespace history_rows
