// The history on its own: every reader gets the bytes saved across compact
// rows, deletes never strand a delta, a full disk gives way, and a group that
// fails is lost whole.
#include "history.h"
#include "history_reader.h"
#include "history_rows.h"
#include "history_space.h"
#include "history_spool.h"
#include "record.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
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
    EXPECT_GE(v, 0) << sql;
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

  // Every row numbered in its stream from 1, the old ones first; the numbers
  // go on after the oldest rows are deleted and the file is opened again,
  // and the commit hands each row on with its number.
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const std::string records = " FROM history WHERE device_id = 7 AND data_id = 5156";
  EXPECT_EQ(value(db, "SELECT count(*) FROM history WHERE round_seq IS NULL"), 0);
  EXPECT_EQ(value(db, "SELECT min(round_seq)" + records), 1);
  EXPECT_EQ(value(db, "SELECT max(round_seq)" + records), 70);
  EXPECT_EQ(value(db, "SELECT count(DISTINCT round_seq)" + records), 70);
  EXPECT_EQ(value(db, "SELECT max(round_seq) FROM history WHERE data_id <> 5156"), 1 + 69);
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
  EXPECT_EQ(committed[0].round_seq, 71u);
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(value(db, "SELECT round_seq FROM history WHERE seq = " + std::to_string(committed[0].seq)), 71);
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
  encoder.encode(9, qrn_record::kDataId, group[0].data(), group[0].size(), out);
  ASSERT_EQ(encoder.encode(9, qrn_record::kDataId, group[0].data(), group[0].size(), out), history_rows::kDelta);
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
  EXPECT_FALSE(std::filesystem::exists(history_space::reserve_path(path_)));
  unsigned long unpublished = 7;
  const unsigned long gone = disk.take_given_way(&unpublished);
  EXPECT_GT(gone, 0u);
  EXPECT_EQ(unpublished, 0u);  // nothing was ever published
  EXPECT_EQ(disk.take_given_way(nullptr), 0u);
  // A stream's chain may have gone: its next row is a full one.
  EXPECT_EQ(encoder.encode(9, qrn_record::kDataId, group[0].data(), group[0].size(), out), history_rows::kFull);
  EXPECT_LT(stream(8, qrn_record::kDataId).size(), 30u);  // the oldest went
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
