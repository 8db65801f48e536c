#pragma once

// Device history in an SQLite database: one row per record saved by a
// device, so that a restarted host (and `quorlin decode`) can find the last
// record of each device.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class HistoryStore {
 public:
  enum class Mode { ReadWrite, ReadOnly };

  HistoryStore() = default;
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // ReadWrite creates the file and its table when missing; ReadOnly needs an
  // existing history file. False with a one-line reason on failure.
  bool open(const std::string& path, Mode mode, std::string& error);
  void close();

  // Appends one record; `saved_at` is the local time of the save as text.
  bool save(uint32_t device_id, int data_id, const std::string& saved_at,
            const unsigned char* record, std::size_t size, std::string& error);

  // The most recently saved record of the device, or nothing; `error` is set
  // when the history could not be read (and left alone otherwise).
  std::optional<std::vector<unsigned char>> last(uint32_t device_id, std::string& error);

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* select_last_ = nullptr;
};
