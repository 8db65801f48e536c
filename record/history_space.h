#pragma once

// The history on a full file system, in one place. A reserve file beside the
// history holds a little of its file system's space: released first when a
// write finds no room, it leaves room for the WAL frames of the deletes that
// make way for new records; retention makes it again once the file system
// has room. While the file system is short of room (under a tenth free, or a
// write found none) the history is a ring: the file may not grow, its groups
// reuse freed pages only, the oldest rows giving way for them, and the WAL is
// copied at every group so that it starts over in the space it has.
#include <atomic>
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
// the reserve beyond its last twentieth.
bool room_for_reserve(uint64_t fs_total, uint64_t fs_free);
// The slack kept beyond the ends of the file and of its WAL (keep_slack):
// a 32nd of the file system, at most 1 MiB; more than a checkpoint
// interval adds to either.
long long slack_bytes(uint64_t fs_total);
// Whether the file system is short of room: under a tenth of it free.
bool short_of_room(uint64_t fs_total, uint64_t fs_free);
// Whether it has room again to leave the ring: a tenth free and a reserve's worth.
bool room_to_grow(uint64_t fs_total, uint64_t fs_free);
// The file system of `path`: its size and what an unprivileged writer may take.
bool space_of(const std::string& path, uint64_t& fs_total, uint64_t& fs_free);
// Keeps `bytes` allocated beyond the ends of the history file and its WAL
// (not part of either): what a checkpoint and the WAL grow into while the
// file system has no room left, which no other file can take. The file is
// reached through `db_fd`, a descriptor the caller holds open on it (none:
// -1): closing a descriptor of the database would drop every lock SQLite's
// connections in this process hold on it. False when the file system had
// not the room.
bool keep_slack(const std::string& history_path, int db_fd, long long bytes);
// Whether SQLite's code `rc` on `db` says there was no room: a full file
// system (also as an I/O error on the WAL index) or the ring's bound.
bool out_of_room(sqlite3* db, int rc);

// The store's writer on a full file system; called under the store's lock,
// on its connection.
class FullDisk {
 public:
  // `encoder` forgets its streams whenever rows give way: a stream's last
  // chain may have gone, so its next row must be a full one.
  explicit FullDisk(history_rows::Encoder& encoder) : encoder_(encoder) {}
  // The descriptor the store holds open on its file, for its slack.
  void use_file(int fd) { db_fd_ = fd; }

  // Writes a group of `need` bytes through `write` (SQLite's result code,
  // the group rolled back when it fails). While the history is a ring (the
  // file system of `path` short of room, or a write found none, until the
  // reserve is back and there is room), pages are made for the group first.
  // When `write` finds no room, the reserve is released, or else the oldest
  // rows give way, pages are made and the group is written again, up to
  // kTries times. Returns write's last code.
  int write_group(sqlite3* db, const std::string& path, std::size_t need,
                  const std::function<int()>& write);

  // Deletes the oldest kRows rows, chains that a later full row of their
  // stream follows first, else a stream's last chain too but never the
  // newest row's (history_rows::delete_oldest), and counts them, and the
  // records among them that a broker had not acknowledged. Returns the rows
  // deleted, -1 on failure.
  int give_way(sqlite3* db);
  // Free pages in the file for a group of `need` bytes and kBytesPerGroup,
  // rows giving way a few at a time until there are (or kTries times), then
  // the WAL copied so that the next write starts it over.
  void make_way(sqlite3* db, std::size_t need);

  bool ring() const { return ring_; }
  // Rows deleted so far in all, and of them records a broker had not acknowledged.
  unsigned long given_way_total() const { return given_way_total_.load(); }
  unsigned long unpublished_total() const { return unpublished_total_.load(); }

  // The rows deleted since the last call; of them, in `unpublished`, the
  // records a broker had not yet acknowledged.
  unsigned long take_given_way(unsigned long* unpublished);

  // Rows deleted per try, and tries, before a group is given up.
  static constexpr int kRows = 4;
  static constexpr int kTries = 16;
  // Free bytes a group wants in the file while the disk is full, beyond its
  // rows' own: their cells' and index entries' pages.
  static constexpr long long kBytesPerGroup = 16 << 10;
  // How long a try waits when not even a delete found room (a reader held
  // the WAL back from being started over).
  static constexpr int kRetryPauseMillis = 50;

 private:
  // Into the ring or out of it, as the file system's room says.
  void follow_room(sqlite3* db, const std::string& path);
  void enter_ring(sqlite3* db);

  history_rows::Encoder& encoder_;
  int db_fd_ = -1;
  unsigned long rows_given_way_ = 0;
  unsigned long unpublished_given_way_ = 0;
  // Read by any thread (the host's metrics) without the store's lock.
  std::atomic<unsigned long> given_way_total_{0};
  std::atomic<unsigned long> unpublished_total_{0};
  long long slack_ = 0;  // slack_bytes() of the history's file system
  bool ring_ = false;  // the file may not grow; until there is room and the reserve is back
};

}  // namespace history_space
