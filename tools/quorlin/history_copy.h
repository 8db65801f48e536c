#pragma once

// The quorlin commands' way into a history file they may only read.
#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

// A private copy of a history file (and its write-ahead log) in a temporary
// folder, removed with this object. SQLite cannot open a WAL database in a
// folder the user cannot write or on a read-only medium when its shared-memory
// file is missing; the copy has a writable folder.
class HistoryCopy {
 public:
  HistoryCopy() = default;
  HistoryCopy(const HistoryCopy&) = delete;
  HistoryCopy& operator=(const HistoryCopy&) = delete;
  ~HistoryCopy() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  bool make(const std::string& original, std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/quorlin-history-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      error = "cannot make a folder for a copy of the history: " + std::string(std::strerror(errno));
      return false;
    }
    dir_ = pattern;
    path_ = dir_ + "/history.db";
    std::error_code ec;
    namespace fs = std::filesystem;
    fs::copy_file(original, path_, ec);
    if (!ec && fs::exists(original + "-wal", ec)) fs::copy_file(original + "-wal", path_ + "-wal", ec);
    if (ec) {
      error = "cannot copy the history: " + ec.message();
      return false;
    }
    return true;
  }

  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};
