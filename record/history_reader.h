#pragma once

// Reading a history file that another program may be writing: the records of
// a time range (quorlin export) and one point's values over the last minutes
// (the live view's trends). Connections of their own, read-only, bounded in
// time: a crafted file can make a query endless.
#include "history_handles.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class HistoryReader {
 public:
  // Opens the file read-only; a 'history' that is not a table (a view may
  // run any query) is refused. False with a one-line reason.
  bool open(const std::string& path, std::string& error);
  void close();

  // True when the last failed open was for want of write access beside the
  // database (see HistoryStore::failed_for_write_access).
  bool failed_for_write_access() const { return write_access_failure_; }

  // The device's records saved from `from` to `to` (history time text), in
  // the order they were saved, found through the (device_id, saved_at) index;
  // each row within HistoryStore::kReadTimeBound. Rows that are not
  // records of qrn_record::kSize bytes are counted in `skipped`, never loaded.
  // False with `error` naming the file as `name`.
  bool each_record(uint32_t device_id, const std::string& from, const std::string& to,
                   const std::function<void(const unsigned char*)>& take, unsigned long& skipped,
                   const std::string& name, std::string& error);

 private:
  history_sql::DbHandle db_;
  history_sql::StmtHandle stmt_;  // after db_: finalized before it is closed
  bool write_access_failure_ = false;
};

// One point's bytes (`width` of them at `offset` in each record) of the device's
// records saved at or after `since`, newest first, with their saved_at text,
// all within kTrendTimeBound. False with `error` ("cannot read history: ...")
// and `timed_out` when the bound was what ended it.
constexpr std::chrono::seconds kTrendTimeBound{5};
bool read_point_trend(const std::string& path, uint32_t device_id, std::size_t offset,
                      std::size_t width, const std::string& since,
                      const std::function<void(const std::string&, const unsigned char*)>& take,
                      std::string& error, bool& timed_out);
