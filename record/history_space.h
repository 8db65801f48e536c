#pragma once

// The history on a full file system, in one place. A reserve file beside the
// history holds a little of its file system's space: released first when a
// write finds no room, it leaves room for the WAL frames of the deletes that
// make way for new records; retention makes it again once the file system
// has room. Until it is back, the store's groups reuse freed pages only, the
// oldest rows giving way for them, so that neither the file nor its WAL grows.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "history_rows.h"

struct sqlite3;

namespace history_space {

// The reserve's path beside the history at `history_path`.
std::string reserve_path(const std::string& history_path);
// Deletes the reserve; true when there was one.
bool release_reserve(const std::string& history_path);
// Makes the reserve of `bytes` (blocks really taken) when it is missing,
// whole or not at all; false when the file system has not the room.
bool make_reserve(const std::string& history_path, long long bytes);
// The reserve for a file system of `fs_total` bytes: a 64th of it, from
// 256 KiB to 4 MiB.
long long reserve_bytes(uint64_t fs_total);
// Whether a file system of `fs_total` bytes with `fs_free` free has room for
// the reserve beyond its last tenth.
bool room_for_reserve(uint64_t fs_total, uint64_t fs_free);

// The store's writer on a full file system; called under the store's lock,
// on its connection.
class FullDisk {
 public:
  // `encoder` forgets its streams whenever rows give way: a stream's last
  // chain may have gone, so its next row must be a full one.
  explicit FullDisk(history_rows::Encoder& encoder) : encoder_(encoder) {}

  // Writes a group of `need` bytes through `write` (SQLite's result code,
  // the group rolled back when it fails). While the disk is full (rows gave
  // way and the reserve beside `path` is not back), pages are made for the
  // group first. When `write` fails with SQLITE_FULL, the reserve is
  // released, or else the oldest rows give way, pages are made and the
  // group is written again, up to kTries times. Returns write's last code.
  int write_group(sqlite3* db, const std::string& path, std::size_t need,
                  const std::function<int()>& write);

  // Deletes the oldest kRows rows, a stream's last chain too but never the
  // newest row's (history_rows::delete_oldest with whole chains), and counts
  // them, and the records among them that a broker had not acknowledged.
  // Returns the rows deleted, -1 on failure.
  int give_way(sqlite3* db);
  // Free pages in the file for a group of `need` bytes and kBytesPerGroup,
  // rows giving way a few at a time until there are (or kTries times), then
  // the WAL copied so that the next write starts it over.
  void make_way(sqlite3* db, std::size_t need);

  // The rows deleted since the last call; of them, in `unpublished`, the
  // records a broker had not yet acknowledged.
  unsigned long take_given_way(unsigned long* unpublished);

  // Rows deleted per try, and tries, before a group is given up.
  static constexpr int kRows = 4;
  static constexpr int kTries = 16;
  // Free bytes a group wants in the file while the disk is full, beyond its
  // rows' own: their cells' and index entries' pages.
  static constexpr long long kBytesPerGroup = 16 << 10;

 private:
  history_rows::Encoder& encoder_;
  unsigned long rows_given_way_ = 0;
  unsigned long unpublished_given_way_ = 0;
  bool disk_full_ = false;  // rows gave way; until the reserve is back
};

}  // namespace history_space
