#include "history_space.h"

#include "history_schema.h"
#include "history_spool.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace history_space {

std::string reserve_path(const std::string& history_path) { return history_path + "-reserve"; }

bool release_reserve(const std::string& history_path) {
  return ::unlink(reserve_path(history_path).c_str()) == 0;
}

bool make_reserve(const std::string& history_path, long long bytes) {
  const std::string path = reserve_path(history_path);
  if (::access(path.c_str(), F_OK) == 0) return true;
  // Written under another name and renamed: a reserve is whole or absent.
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::posix_fallocate(fd, 0, bytes) == 0;
  ::close(fd);
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

long long reserve_bytes(uint64_t fs_total) {
  return std::clamp<long long>(static_cast<long long>(fs_total / 64), 256ll << 10, 4ll << 20);
}

bool room_for_reserve(uint64_t fs_total, uint64_t fs_free) {
  return fs_free > fs_total / 10 + static_cast<uint64_t>(reserve_bytes(fs_total));
}

int FullDisk::write_group(sqlite3* db, const std::string& path, std::size_t need,
                          const std::function<int()>& write) {
  // Until retention has made the reserve again (the disk has room), a group
  // reuses freed pages only: a file that grew in the WAL could not be
  // checkpointed, and a WAL never started over would fill what is left.
  if (disk_full_ && ::access(reserve_path(path).c_str(), F_OK) == 0) disk_full_ = false;
  if (disk_full_) make_way(db, need);
  int rc = write();
  // The disk is full: the reserve goes first, then the oldest rows make way
  // (their pages are reused, the file does not grow) until the group fits.
  for (int tries = 0; (rc & 0xff) == SQLITE_FULL && tries < kTries; ++tries) {
    if (!release_reserve(path) && give_way(db) <= 0) break;
    disk_full_ = true;
    make_way(db, need);
    rc = write();
  }
  return rc;
}

int FullDisk::give_way(sqlite3* db) {
  unsigned long unpublished = 0;
  const int n = history_rows::delete_oldest(db, "", "", kRows, true, -1, unpublished_floor(db),
                                            &unpublished);
  if (n > 0) {
    rows_given_way_ += static_cast<unsigned long>(n);
    unpublished_given_way_ += unpublished;
    // A stream's last chain may have gone: its next row is a full one.
    encoder_.forget();
  }
  return n;
}

void FullDisk::make_way(sqlite3* db, std::size_t need) {
  // Free pages for the whole group (its rows at most their full size), the
  // oldest rows deleted, a few at a time, until there are.
  const sqlite3_int64 page = history_sql::pragma_value(db, "PRAGMA page_size");
  const auto wanted = static_cast<sqlite3_int64>(need) + kBytesPerGroup;
  for (int tries = 0; page > 0 && tries < kTries &&
                      history_sql::pragma_value(db, "PRAGMA freelist_count") * page < wanted;
       ++tries)
    if (give_way(db) <= 0) break;
  // Here, not on the checkpoint thread's next turn: the WAL starts over at
  // the next save only once copied, and meanwhile it would take what is left.
  sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

unsigned long FullDisk::take_given_way(unsigned long* unpublished) {
  const unsigned long n = rows_given_way_;
  rows_given_way_ = 0;
  if (unpublished) *unpublished = unpublished_given_way_;
  unpublished_given_way_ = 0;
  return n;
}

}  // namespace history_space
