#include "history_space.h"

#include "history_handles.h"
#include "history_schema.h"
#include "history_spool.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

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
  return fs_free > fs_total / 20 + static_cast<uint64_t>(reserve_bytes(fs_total));
}

long long slack_bytes(uint64_t fs_total) {
  return std::min<long long>(static_cast<long long>(fs_total / 32), 1ll << 20);
}

bool short_of_room(uint64_t fs_total, uint64_t fs_free) { return fs_free < fs_total / 10; }

bool room_to_grow(uint64_t fs_total, uint64_t fs_free) {
  return fs_free > fs_total / 10 + static_cast<uint64_t>(reserve_bytes(fs_total));
}

bool space_of(const std::string& path, uint64_t& fs_total, uint64_t& fs_free) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) return false;
  fs_total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  fs_free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

bool out_of_room(sqlite3* db, int rc) {
  // SQLite says SQLITE_FULL when a file cannot grow; the WAL index's growth
  // and a write of its own say an I/O error with the system's ENOSPC.
  if ((rc & 0xff) == SQLITE_FULL) return true;
  return (rc & 0xff) == SQLITE_IOERR && sqlite3_system_errno(db) == ENOSPC;
}

bool keep_slack(const std::string& history_path, int db_fd, long long bytes) {
  // Beyond the end, the size kept: SQLite sees neither file change.
  auto keep = [bytes](int fd) {
    struct stat st {};
    return !(fstat(fd, &st) == 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, bytes) != 0 &&
             errno == ENOSPC);
  };
  bool room = db_fd < 0 || keep(db_fd);
  // SQLite locks the database and its shared-memory index, never the WAL:
  // a descriptor of the WAL may be opened and closed here.
  const int fd = ::open((history_path + "-wal").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    room = keep(fd) && room;
    ::close(fd);
  }
  return room;
}

void FullDisk::enter_ring(sqlite3* db) {
  // The file keeps the pages it has and a few more for the b-trees' own
  // moves (a delete may split a page before it frees any), within the slack
  // kept beyond its end: a group that needs more fails with SQLITE_FULL
  // before it touches the file system.
  const sqlite3_int64 pages = history_sql::pragma_value(db, "PRAGMA page_count");
  const sqlite3_int64 page = history_sql::pragma_value(db, "PRAGMA page_size");
  if (pages > 0 && page > 0)
    history_sql::pragma_value(
        db, ("PRAGMA max_page_count = " + std::to_string(pages + slack_ / 4 / page)).c_str());
  ring_ = true;
}

void FullDisk::follow_room(sqlite3* db, const std::string& path) {
  uint64_t total = 0, free = 0;
  if (!space_of(path, total, free)) return;
  slack_ = slack_bytes(total);
  if (!ring_ && short_of_room(total, free)) {
    enter_ring(db);
  } else if (ring_ && room_to_grow(total, free) && ::access(reserve_path(path).c_str(), F_OK) == 0) {
    history_sql::pragma_value(db, "PRAGMA max_page_count = 4294967294");
    ring_ = false;
  }
}

int FullDisk::write_group(sqlite3* db, const std::string& path, std::size_t need,
                          const std::function<int()>& write) {
  // In the ring a group reuses freed pages only: a file that grew in the WAL
  // could not be checkpointed, and a WAL never started over would fill what
  // is left.
  follow_room(db, path);
  if (!keep_slack(path, db_fd_, slack_) && !ring_) enter_ring(db);
  if (ring_) make_way(db, need);
  int rc = write();
  // No room: the reserve goes first, then the oldest rows make way (their
  // pages are reused, the file does not grow) until the group fits.
  for (int tries = 0; out_of_room(db, rc) && tries < kTries; ++tries) {
    const bool released = release_reserve(path);
    if (!ring_) enter_ring(db);
    if (!released && give_way(db) <= 0) {
      // Not even a delete found room: a reader keeps the WAL from starting
      // over. It reads for milliseconds; the WAL is copied once it is done.
      std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMillis));
      sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
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
    given_way_total_ += static_cast<unsigned long>(n);
    unpublished_total_ += unpublished;
    // Chains go whole and oldest first: a stream with rows left still has
    // its last chain; one without starts again with a full row.
    history_sql::StmtHandle any;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM history WHERE device_id = ?1 AND data_id = ?2 LIMIT 1",
                       -1, &st, nullptr);
    any.reset(st);
    encoder_.forget_if([&](uint32_t device_id, int data_id) {
      if (!any) return true;
      sqlite3_reset(any.get());
      sqlite3_bind_int64(any.get(), 1, device_id);
      sqlite3_bind_int(any.get(), 2, data_id);
      return sqlite3_step(any.get()) != SQLITE_ROW;
    });
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
