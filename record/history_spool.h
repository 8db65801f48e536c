#pragma once

// The history as the broker link's spool: which of each device's records the
// broker has acknowledged, the edge node's birth/death sequence number, and
// the records still to publish, read oldest first. A connection of its own
// to the history file that the host's store holds; two small tables beside
// the records.
#include "history_handles.h"
#include "history_rows.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A device's publishing progress, in history seqs (the history's row
// numbers, shared by all devices). Every record of the device up to
// `replay` is acknowledged; so are those within a `skips` range. Records up
// to `boundary` (the newest one when the last connection began) are the
// replay's; above it the live records, acknowledged without a gap up to
// `live`.
struct SpoolProgress {
  int64_t replay = 0;
  int64_t boundary = 0;
  int64_t live = 0;
  std::vector<std::pair<int64_t, int64_t>> skips;  // (from, to]: acknowledged
  bool operator==(const SpoolProgress& o) const {
    return replay == o.replay && boundary == o.boundary && live == o.live && skips == o.skips;
  }
};

struct SpoolRow {
  int64_t seq = 0;
  uint64_t round_seq = 0;  // its number in the device's stream (0 when unnumbered)
  std::string saved_at;
  std::vector<unsigned char> bytes;
};

class HistorySpool {
 public:
  // Opens the history file (set up by the host's store) and its two tables.
  bool open(const std::string& path, std::string& error);
  void close() {
    save_.reset();
    round_seq_.reset();
    count_.reset();
    seeds_.clear();
    db_.reset();
  }

  // The next connection's bdSeq, 0 to 255 and round again, kept in the file
  // so that it goes on across restarts. False when it could not be kept.
  bool next_bd_seq(uint64_t& out, std::string& error);

  // A device's progress; `found` false (and `out` untouched) for a device
  // never published.
  bool progress(uint32_t device_id, SpoolProgress& out, bool& found, std::string& error);
  bool save_progress(uint32_t device_id, const SpoolProgress& p, std::string& error);
  // Several saves in one transaction: begin, the saves, commit (which ends it
  // also after a failed save).
  bool begin(std::string& error);
  bool commit(std::string& error);

  // Forgets the progress of every device not in `device_ids`: a device no
  // longer published holds back neither retention nor the backlog figures.
  bool forget_others(const std::vector<uint32_t>& device_ids, std::string& error);

  // The newest row of the device under `data_id`: its seq (0 when none).
  bool newest(uint32_t device_id, int data_id, SpoolRow& out, std::string& error);
  // The newest row of the device under any other data id (its round report).
  bool newest_other(uint32_t device_id, int data_id, SpoolRow& out, std::string& error);

  // The device's rows under `data_id` with after < seq <= upto, oldest first,
  // at most `limit` of them. A read that goes on from the last row a former
  // one gave decodes only the new rows. The caller knows there are rows to
  // read (the commits say which): nothing is asked of the file beforehand.
  bool rows_after(uint32_t device_id, int data_id, int64_t after, int64_t upto, std::size_t limit,
                  std::vector<SpoolRow>& out, std::string& error);

  // The device's records up to `upto` not yet acknowledged as `p` says, and
  // the saved time of the oldest of them ("" when none).
  bool backlog(uint32_t device_id, int data_id, const SpoolProgress& p, uint64_t& count,
               std::string& oldest, std::string& error, int64_t upto = INT64_MAX);

 private:
  bool count(uint32_t device_id, int data_id, int64_t after, int64_t upto, uint64_t& n,
             std::string& oldest, std::string& error);

  // The statements used for every record, compiled once (after db_, so that
  // they are finalised before the connection closes).
  sqlite3_stmt* cached(history_sql::StmtHandle& slot, const char* sql);
  bool number(SpoolRow& row, std::string& error);

  history_sql::DbHandle db_;
  history_sql::StmtHandle save_;
  history_sql::StmtHandle round_seq_;  // a row's round_seq by its seq
  history_sql::StmtHandle count_;

  // The last row a read gave, per stream and cursor: the next read that
  // starts after it decodes from it. Two per stream, the live and the
  // replay's; the one used least recently gives way.
  struct Seed {
    uint32_t device_id;
    int data_id;
    int64_t seq;
    std::vector<unsigned char> bytes;
    uint64_t used;
  };
  std::vector<Seed> seeds_;
  uint64_t reads_ = 0;
  history_rows::Decoder decoder_;
};

// The seq below the first record a broker has not acknowledged, over the
// devices published; -1 when every record is, or nothing is published.
int64_t unpublished_floor(sqlite3* db);

// Progress as text ("from-to,from-to") and back; malformed text gives none.
std::string skips_text(const std::vector<std::pair<int64_t, int64_t>>& skips);
std::vector<std::pair<int64_t, int64_t>> skips_from_text(const std::string& text);
