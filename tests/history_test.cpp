// The history on its own: every reader gets the bytes saved across compact
// rows, deletes never strand a delta, a full disk gives way, and a group that
// fails is lost whole.
#include "history.h"
#include "history_reader.h"
#include "history_retention.h"
#include "history_rows.h"
#include "history_space.h"
#include "history_spool.h"
#include "record.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A history written by the store, read back through every reader: the same
// bytes, across full rows, size changes and files made before compact rows.
class HistoryRows : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qrn-history-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/history.db";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string at(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "2026-01-01 %02d:%02d:%02d", i / 3600, i / 60 % 60, i % 60);
    return text;
  }
  // Records that change a little each round, and round reports that change
  // size now and then; both stored in `saved`, by stream.
  void save_rounds(HistoryStore& store, int from, int to, uint32_t device) {
    std::mt19937 rng(device * 1000u + static_cast<unsigned>(from));
    std::vector<unsigned char>& rec = records_[device];
    if (rec.empty()) rec.resize(qrn_record::kSize, 0x11);
    std::string error;
    for (int i = from; i < to; ++i) {
      for (int n = 0; n < 40; ++n) rec[rng() % rec.size()] = static_cast<unsigned char>(rng());
      const std::vector<unsigned char> report(20 + (i / 70) % 3, static_cast<unsigned char>(i));
      ASSERT_TRUE(store.save(device, qrn_record::kDataId, at(i), rec.data(), rec.size(), error));
      ASSERT_TRUE(store.save(device, kReportId, at(i), report.data(), report.size(), error));
      saved_[{device, qrn_record::kDataId}].push_back(rec);
      saved_[{device, kReportId}].push_back(report);
    }
  }
  // Every row of the stream, decoded oldest first through the one decoder.
  std::vector<std::vector<unsigned char>> stream(uint32_t device, int data_id, int64_t after = 0) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::vector<unsigned char>> rows;
    std::string error;
    EXPECT_TRUE(history_rows::each_row_after(
        db, device, data_id, after,
        [&](int64_t, const std::string&, const unsigned char* b, std::size_t n) {
          rows.emplace_back(b, b + n);
          return true;
        },
        error));
    sqlite3_close(db);
    return rows;
  }

  std::vector<std::vector<unsigned char>>& recs(uint32_t device) {
    return saved_[std::make_pair(device, qrn_record::kDataId)];
  }

  static int64_t value(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    EXPECT_GE(v, 0) << sql << ": " << sqlite3_errmsg(db);
    return v;
  }
  // Each stream left is a tail of what was saved, every row of it decoded
  // (none lost its full row); returns the rows left.
  std::size_t expect_whole_tails(sqlite3* db) {
    std::size_t total = 0;
    for (const auto& [key, rows] : saved_) {
      const auto left = stream(key.first, key.second);
      EXPECT_EQ(value(db, "SELECT count(*) FROM history WHERE device_id = " + std::to_string(key.first) +
                              " AND data_id = " + std::to_string(key.second)),
                static_cast<int64_t>(left.size())) << key.first << "/" << key.second;
      if (left.size() > rows.size()) ADD_FAILURE() << key.first << "/" << key.second;
      else EXPECT_TRUE(std::equal(left.begin(), left.end(), rows.end() - left.size())) << key.first;
      total += left.size();
    }
    return total;
  }

  static constexpr int kReportId = 5157;
  std::string dir_, path_;
  std::map<uint32_t, std::vector<unsigned char>> records_;
  std::map<std::pair<uint32_t, int>, std::vector<std::vector<unsigned char>>> saved_;

  // A broker acknowledged each device's first 20 records, and device 4's 30th
  // to 35th besides (a replay's skip).
  void acknowledge_first_records() {
    std::string error;
    HistorySpool spool;
    ASSERT_TRUE(spool.open(path_, error)) << error;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    auto nth = [&](uint32_t device, int n) {
      return value(db, "SELECT seq FROM history WHERE device_id = " + std::to_string(device) +
                           " AND data_id = 5156 ORDER BY seq LIMIT 1 OFFSET " + std::to_string(n - 1));
    };
    for (uint32_t device = 1; device <= 4; ++device) {
      SpoolProgress p;
      p.replay = nth(device, 20);
      p.boundary = nth(device, 40);
      p.live = p.boundary;
      if (device == 4) p.skips = {{nth(4, 29), nth(4, 35)}};
      ASSERT_TRUE(spool.save_progress(device, p, error)) << error;
    }
    sqlite3_close(db);
  }
};

TEST_F(HistoryRows, every_reader_gets_the_saved_bytes_across_full_rows) {
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  save_rounds(store, 0, 75, 7);
  save_rounds(store, 0, 10, 8);
  const auto last = store.last(7, qrn_record::kSize, error);  // reads its own writes
  ASSERT_TRUE(last && last->bytes == recs(7).back()) << error;
  save_rounds(store, 75, 140, 7);  // more than two chains, the reports' sizes change
  std::vector<std::vector<unsigned char>> reports;
  ASSERT_TRUE(store.each_report(7, [&](const unsigned char* b, std::size_t n) {
    reports.emplace(reports.begin(), b, b + n);
    return true;
  }, error));
  EXPECT_EQ(reports, saved_[std::make_pair(7u, kReportId)]);
  store.close();
  EXPECT_EQ(stream(7, qrn_record::kDataId), recs(7));
  EXPECT_EQ(stream(8, qrn_record::kDataId), recs(8));
  // From a cursor in the middle of a chain: the rows after it, no others.
  const auto& all = recs(7);
  EXPECT_EQ(stream(7, qrn_record::kDataId, 2 * 100 + 20),
            std::vector<std::vector<unsigned char>>(all.end() - 40, all.end()));
  // The spool as the edge node reads it: cursors in turn, a few rows at a
  // time, each read going on from the row the last one gave.
  HistorySpool spool;
  ASSERT_TRUE(spool.open(path_, error)) << error;
  struct Cursor {
    uint32_t device;
    std::size_t step;
    int64_t after = 0;
    std::vector<std::vector<unsigned char>> got;
  } cursors[] = {{7, 3, 0, {}}, {7, 7, 0, {}}, {8, 4, 0, {}}, {7, 50, 0, {}}};
  for (bool more = true; more;) {
    more = false;
    for (Cursor& c : cursors) {
      std::vector<SpoolRow> rows;
      ASSERT_TRUE(spool.rows_after(c.device, qrn_record::kDataId, c.after, INT64_MAX, c.step, rows, error)) << error;
      for (SpoolRow& r : rows) c.got.push_back(std::move(r.bytes)), c.after = r.seq;
      more = more || !rows.empty();
    }
  }
  for (const Cursor& c : cursors) EXPECT_EQ(c.got, recs(c.device)) << c.device << " by " << c.step;
  spool.close();

  HistoryReader reader;
  ASSERT_TRUE(reader.open(path_, error)) << error;
  std::vector<std::vector<unsigned char>> exported;
  unsigned long skipped = 0;
  ASSERT_TRUE(reader.each_record(7, at(61), at(130), [&](const unsigned char* b) {
    exported.emplace_back(b, b + qrn_record::kSize);
  }, skipped, "h", error)) << error;
  EXPECT_EQ(exported, std::vector<std::vector<unsigned char>>(all.begin() + 61, all.begin() + 131));
  std::vector<unsigned char> trend;
  bool timed_out = false;
  ASSERT_TRUE(read_point_trend(path_, 7, 100, 2, at(90), [&](const std::string&, const unsigned char* b) {
    trend.insert(trend.begin(), b, b + 2);
  }, error, timed_out)) << error;
  std::vector<unsigned char> want;
  for (auto r = all.begin() + 90; r != all.end(); ++r) want.insert(want.end(), r->begin() + 100, r->begin() + 102);
  EXPECT_EQ(trend, want);
  // Compact: far less than a full row each.
  EXPECT_LT(std::filesystem::file_size(path_), all.size() * qrn_record::kSize / 2);
}

TEST_F(HistoryRows, a_file_made_before_compact_rows_is_read_and_appended_to) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
      "CREATE TABLE history (seq INTEGER PRIMARY KEY AUTOINCREMENT, device_id INTEGER NOT NULL, "
      "data_id INTEGER NOT NULL, saved_at TEXT NOT NULL, record BLOB NOT NULL);"
      "CREATE INDEX history_by_device ON history (device_id, seq);"
      "CREATE INDEX history_by_time ON history (device_id, saved_at);"
      "CREATE INDEX history_by_kind ON history (device_id, data_id, seq);"
      "INSERT INTO history (device_id, data_id, saved_at, record) VALUES "
      "(7, 5156, '2026-01-01 00:00:00', zeroblob(7001)), (7, 5157, '2026-01-01 00:00:00', x'0102');",
      nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  recs(7).assign(1, std::vector<unsigned char>(qrn_record::kSize, 0));
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadOnly, error)) << error;
  auto last = store.last(7, qrn_record::kSize, error);
  ASSERT_TRUE(last && last->bytes == recs(7)[0]) << error;
  store.close();
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  save_rounds(store, 1, 70, 7);
  last = store.last(7, qrn_record::kSize, error);
  ASSERT_TRUE(last && last->bytes == recs(7).back()) << error;
  store.close();
  EXPECT_EQ(stream(7, qrn_record::kDataId), recs(7));

  // The old rows stay as they were (never rewritten); each stream's new rows
  // are numbered from 1, and the numbers go on after the oldest rows are
  // deleted and the file is opened again; the commit hands each row on with
  // its number.
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const std::string records = " FROM history WHERE device_id = 7 AND data_id = 5156";
  EXPECT_EQ(value(db, "SELECT count(*) FROM history WHERE round_seq IS NULL"), 2);
  EXPECT_EQ(value(db, "SELECT min(round_seq)" + records), 1);
  EXPECT_EQ(value(db, "SELECT max(round_seq)" + records), 69);
  EXPECT_EQ(value(db, "SELECT count(DISTINCT round_seq)" + records), 69);
  EXPECT_EQ(value(db, "SELECT max(round_seq) FROM history WHERE data_id <> 5156"), 69);
  EXPECT_GT(history_rows::delete_oldest(db, "", "", 20), 0);
  sqlite3_close(db);
  std::vector<CommittedRow> committed;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  store.set_on_commit([&](const std::vector<CommittedRow>& rows) {
    committed.insert(committed.end(), rows.begin(), rows.end());
  });
  save_rounds(store, 70, 71, 7);
  store.flush();
  store.close();
  ASSERT_EQ(committed.size(), 2u);
  EXPECT_EQ(committed[0].data_id, qrn_record::kDataId);
  EXPECT_EQ(committed[0].round_seq, 70u);
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(value(db, "SELECT round_seq FROM history WHERE seq = " + std::to_string(committed[0].seq)), 70);
  sqlite3_close(db);
}

TEST_F(HistoryRows, deleting_the_oldest_never_leaves_a_delta_without_its_full_row) {
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  save_rounds(store, 0, 150, 7);
  save_rounds(store, 0, 30, 8);  // a single chain, all old
  store.close();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  // By age, in small batches as retention does, then by size until nothing goes.
  int n;
  while ((n = history_rows::delete_oldest(db, at(100), "", 7)) > 0) {
  }
  EXPECT_EQ(n, 0);
  // Each stream is whole from its first row on, and device 8's last chain stays.
  for (const auto& [key, rows] : saved_) {
    const auto left = stream(key.first, key.second);
    ASSERT_FALSE(left.empty());
    EXPECT_TRUE(std::equal(left.begin(), left.end(), rows.end() - left.size())) << key.first;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*), min(saved_at) FROM history WHERE device_id = ?1 AND data_id = ?2", -1, &st, nullptr);
    sqlite3_bind_int(st, 1, static_cast<int>(key.first));
    sqlite3_bind_int(st, 2, key.second);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), static_cast<int>(left.size()));  // none undecodable
    const std::string oldest = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    sqlite3_finalize(st);
    if (key.first == 7) EXPECT_TRUE(oldest < at(100) && oldest >= at(100 - 60)) << oldest;
    else EXPECT_EQ(left.size(), 30u);
  }
  while (history_rows::delete_oldest(db, "", "", 7) > 0) {
  }
  EXPECT_EQ(stream(7, qrn_record::kDataId).size(), 150u % history_rows::kFullEvery);
  EXPECT_EQ(stream(8, qrn_record::kDataId).size(), 30u);
  sqlite3_close(db);
}

// The oldest record as retention's gauge finds it: the earliest saved time,
// not the first row's when a clock that was ahead saved it.
TEST_F(HistoryRows, the_earliest_row_is_found_past_rows_saved_by_a_clock_ahead) {
  {
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
    const std::vector<unsigned char> rec(qrn_record::kSize, 1);
    ASSERT_TRUE(store.save(7, qrn_record::kDataId, "2026-01-02 10:00:00", rec.data(), rec.size(), error));
    for (uint32_t device : {8u, 3u})
      ASSERT_TRUE(store.save(device, qrn_record::kDataId, at(device), rec.data(), rec.size(), error));
  }
  HistoryPruner pruner;
  std::string error, earliest = "not read";
  ASSERT_TRUE(pruner.open(path_, error)) << error;
  ASSERT_TRUE(pruner.earliest(earliest));
  EXPECT_EQ(earliest, at(3));
  HistoryFigures f;
  ASSERT_TRUE(pruner.figures(f));
  EXPECT_EQ(f.oldest, "2026-01-02 10:00:00");  // the first row's, as the age limit reads it
}

// A full file system, as SQLite meets it when the file may not grow: the
// reserve goes first, then the oldest rows, whole chains, until the group
// fits; the newest row's chain never goes.
TEST_F(HistoryRows, a_full_disk_gives_way_oldest_first_and_keeps_the_newest_chain) {
  {
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
    save_rounds(store, 0, 30, 8);
    save_rounds(store, 0, 130, 7);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const std::string full = "PRAGMA max_page_count = " + std::to_string(value(db, "PRAGMA page_count"));
  ASSERT_EQ(sqlite3_exec(db, full.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(history_space::make_reserve(path_, 4096));
  history_rows::Encoder encoder;
  history_space::FullDisk disk(encoder);
  std::vector<unsigned char> out;
  std::vector<std::vector<unsigned char>> group(60, std::vector<unsigned char>(qrn_record::kSize));
  std::mt19937 rng(9);
  for (auto& row : group) std::generate(row.begin(), row.end(), [&] { return static_cast<unsigned char>(rng()); });
  for (uint32_t device : {7u, 8u, 9u}) {
    encoder.encode(device, qrn_record::kDataId, group[0].data(), group[0].size(), out);
    ASSERT_EQ(encoder.encode(device, qrn_record::kDataId, group[0].data(), group[0].size(), out), history_rows::kDelta);
  }
  // Device 9's first `n` rows in one transaction, full rows, as the store writes a group.
  auto write = [&](std::size_t n) {
    int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    if (rc == SQLITE_OK)
      rc = sqlite3_prepare_v2(db, "INSERT INTO history (device_id, data_id, saved_at, record, form) "
                                  "VALUES (9, 5156, ?1, ?2, 0)", -1, &insert, nullptr);
    for (std::size_t i = 0; rc == SQLITE_OK && i < n; ++i) {
      sqlite3_reset(insert);
      sqlite3_bind_text(insert, 1, at(200).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(insert, 2, group[i].data(), static_cast<int>(group[i].size()), SQLITE_STATIC);
      rc = sqlite3_step(insert) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
    sqlite3_finalize(insert);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
  };
  ASSERT_EQ(disk.write_group(db, path_, 2 * qrn_record::kSize, [&] { return write(2); }), SQLITE_OK);
  unsigned long unpublished = 7;
  const unsigned long gone = disk.take_given_way(&unpublished);
  EXPECT_GT(gone, 0u);
  EXPECT_EQ(unpublished, 0u);  // nothing was ever published
  EXPECT_EQ(disk.take_given_way(nullptr), 0u);
  // A stream whose rows all went (device 8's, the oldest, whole; device 9's
  // had none yet) starts again with a full row; one with rows left has its
  // last chain and goes on.
  EXPECT_TRUE(stream(8, qrn_record::kDataId).empty());
  for (uint32_t device : {8u, 9u})
    EXPECT_EQ(encoder.encode(device, qrn_record::kDataId, group[0].data(), group[0].size(), out), history_rows::kFull);
  EXPECT_EQ(encoder.encode(7, qrn_record::kDataId, group[0].data(), group[0].size(), out), history_rows::kDelta);
  EXPECT_EQ(expect_whole_tails(db) + gone, 2u * (30 + 130));
  EXPECT_EQ(stream(9, qrn_record::kDataId), std::vector<std::vector<unsigned char>>(group.begin(), group.begin() + 2));
  // A group larger than the file: every row gives way but the newest row's
  // chain (device 9's last row, a full one), and the group fails.
  EXPECT_EQ(disk.write_group(db, path_, group.size() * qrn_record::kSize, [&] { return write(group.size()); }) & 0xff,
            SQLITE_FULL);
  EXPECT_EQ(value(db, "SELECT count(*) FROM history"), 1);
  EXPECT_EQ(stream(9, qrn_record::kDataId), std::vector<std::vector<unsigned char>>(1, group[1]));
  sqlite3_close(db);
}

// The checkpoint thread copies the WAL into the database while the store
// runs: the file holds the rows within an interval or two, not at close.
TEST_F(HistoryRows, checkpoints_copy_the_wal_into_the_database_while_saving) {
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  save_rounds(store, 0, 30, 7);
  store.flush();
  const auto wal = std::filesystem::file_size(path_ + "-wal");
  // The pages the rows take, as a reader sees them through the WAL.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  const auto pages = static_cast<std::uintmax_t>(value(db, "PRAGMA page_count") * value(db, "PRAGMA page_size"));
  sqlite3_close(db);
  EXPECT_GT(pages, 8u << 10);
  const auto deadline = std::chrono::steady_clock::now() +
                        HistoryStore::kGroupInterval * (2 * HistoryStore::kCheckpointGroups + 1);
  while (std::filesystem::file_size(path_) < pages && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(std::filesystem::file_size(path_), pages) << "the WAL was not copied";
  // The WAL is started over at the next group, in the space it has.
  save_rounds(store, 30, 40, 7);
  store.flush();
  EXPECT_EQ(std::filesystem::file_size(path_ + "-wal"), wal);
}

// A real file system that another file fills, and keeps full (a log that
// grows whenever there is room): the file stops growing, its oldest rows give
// way, and the groups go on being committed in the room it kept.
TEST_F(HistoryRows, a_file_system_filled_by_another_file_keeps_saving) {
  const std::string fs = dir_ + "/fs";
  ASSERT_EQ(mkdir(fs.c_str(), 0700), 0);
  if (mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=8m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{fs};
  path_ = fs + "/h.db";
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(fs.c_str(), &vfs), 0);
  const uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  ASSERT_TRUE(history_space::make_reserve(path_, history_space::reserve_bytes(total)));
  // Rounds of four devices, each committed as the store's thread does.
  auto rounds = [&](int from, int to) {
    unsigned long lost = 0;
    for (int i = from; i < to; ++i) {
      for (uint32_t device = 1; device <= 4; ++device) save_rounds(store, i, i + 1, device);
      store.flush();
      const GroupResults r = store.take_results();
      lost += r.records_lost;
      if (r.records_lost > 0) {
        for (uint32_t device = 1; device <= 4; ++device) recs(device).pop_back();
        for (uint32_t device = 1; device <= 4; ++device) saved_[{device, kReportId}].pop_back();
      }
    }
    return lost;
  };
  ASSERT_EQ(rounds(0, 40), 0u);
  ASSERT_NO_FATAL_FAILURE(acknowledge_first_records());
  std::ofstream filler(fs + "/filler", std::ios::binary);
  const std::vector<char> block(4096);
  auto top_up = [&] {
    filler.clear();
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
    }
  };
  top_up();
  unsigned long lost = 0;
  for (int i = 40; i < 240; i += 10) {
    lost += rounds(i, i + 10);
    top_up();
  }
  ASSERT_EQ(statvfs(fs.c_str(), &vfs), 0);
  EXPECT_LT(static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize, 8192u) << "the file system was not kept full";
  EXPECT_LE(lost * 20, 200u * 4) << lost << " of 800 records lost";
  unsigned long unpublished = 0;
  const unsigned long given_way = store.take_rows_given_way(&unpublished);
  EXPECT_EQ(store.rows_given_way_total(), given_way);
  store.close();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  // What is left reads back as saved, and every device's newest rounds are
  // there; the rows that gave way are counted, and of them exactly the
  // records no progress acknowledged (oldest first: each device's first ones).
  EXPECT_EQ(expect_whole_tails(db) + given_way, 2u * 4 * 240 - 2 * lost);
  unsigned long want = 0;
  for (uint32_t device = 1; device <= 4; ++device) {
    EXPECT_EQ(stream(device, qrn_record::kDataId).back(), recs(device).back()) << device;
    const auto deleted = static_cast<unsigned long>(recs(device).size() - stream(device, qrn_record::kDataId).size());
    EXPECT_GT(deleted, 40u) << device;  // beyond what was acknowledged
    want += deleted - 20 - (device == 4 ? 6 : 0);
  }
  EXPECT_EQ(unpublished, want);
  sqlite3_close(db);
}

// A group refused halfway (its report, after its record was written) is
// rolled back whole and counted lost; the rows after it start from full rows
// again and read back as saved.
TEST_F(HistoryRows, a_group_refused_halfway_is_lost_whole_and_the_next_rows_read_back) {
  HistoryStore store;
  std::string error;
  ASSERT_TRUE(store.open(path_, HistoryStore::Mode::ReadWrite, error)) << error;
  save_rounds(store, 0, 5, 7);
  store.flush();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  const std::string refuse = "CREATE TRIGGER refuse BEFORE INSERT ON history WHEN NEW.data_id = " +
                             std::to_string(kReportId) + " AND NEW.saved_at = '" + at(5) +
                             "' BEGIN SELECT RAISE(ABORT, 'refused here'); END";
  ASSERT_EQ(sqlite3_exec(db, refuse.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  save_rounds(store, 5, 6, 7);
  store.flush();
  const GroupResults failed = store.take_results();
  EXPECT_EQ(failed.reports_lost, 1u);
  EXPECT_FALSE(failed.kept_after);
  EXPECT_EQ(failed.error, "refused here") << "the reason, not the rollback's";
  // The record is lost with its group, unless the store's own thread
  // committed it alone just before: stored or counted lost, never both.
  const bool record_kept = value(db, "SELECT count(*) FROM history WHERE saved_at = '" + at(5) + "'") == 1;
  EXPECT_EQ(failed.records_lost, record_kept ? 0u : 1u);
  if (!record_kept) {
    EXPECT_EQ(failed.device_id, 7u);
    recs(7).pop_back();
  }
  saved_[{7, kReportId}].pop_back();
  ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER refuse", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  save_rounds(store, 6, 70, 7);  // past the next full row
  store.flush();
  const GroupResults after = store.take_results();
  EXPECT_TRUE(after.kept_after);
  EXPECT_EQ(after.records_lost + after.reports_lost, 0u);
  store.close();
  EXPECT_EQ(stream(7, qrn_record::kDataId), recs(7));
  EXPECT_EQ(stream(7, kReportId), (saved_[{7, kReportId}]));
}

}  // namespace
