#pragma once

// Where the records and round reports that devices hand over go: the dump
// folder, the history, the live view. The runner hands each one to every
// sink, one at a time; a sink that cannot keep it says so and counts it.
#include "host_stub.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class HistoryStore;
class HttpView;

// One thing a device handed over, as the sinks see it.
struct Handed {
  enum class Kind {
    Record,  // a record handed over (SendSP): its line and dump file
    Report,  // a round report (SendSP under the device's report id)
    Stored,  // a record the device asks the history to keep (SaveHistory)
  };
  Kind kind;
  uint32_t device_id;
  int data_id;          // the id it is stored under
  unsigned long round;  // a record's number among its device's records
  bool restored;        // the device's last stored record, handed back
  const qrn_host::Event& event;
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void take(const Handed& item) = 0;
};

// Whether the records going to one place (the dump folder, the history) are
// being kept. A failure is one line; the same failure again is counted, and
// said at most once every kSayEvery with the records lost since the last
// line, until a record is kept again, which is one line too.
class WriteState {
 public:
  explicit WriteState(std::string place) : place_(std::move(place)) {}
  void failed(const std::string& what, const std::string& error);
  void succeeded();
  unsigned long lost() const { return lost_total_; }

  static constexpr std::chrono::seconds kSayEvery{60};

 private:
  std::string place_;
  std::string error_;  // the failure going on, empty while records are kept
  unsigned long lost_now_ = 0;
  unsigned long lost_total_ = 0;
  unsigned long unsaid_ = 0;  // lost since the last line
  std::chrono::steady_clock::time_point said_at_;
};

// Creates the directory when missing and proves that a file can be written in it.
bool prepare_dump_dir(const std::string& dir, std::string& error);

// Each record to DIR/<device id>-<round>.bin, written whole or not at all.
class DumpSink : public RecordSink {
 public:
  explicit DumpSink(std::string dir) : dir_(std::move(dir)), state_("dump folder " + dir_) {}
  void take(const Handed& item) override;
  unsigned long lost() const { return state_.lost(); }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  WriteState state_;
};

// Stored records and round reports into the history, records under `gate`
// (which retention holds around its steps).
class HistorySink : public RecordSink {
 public:
  // `path`: the history file as the command line named it.
  HistorySink(HistoryStore& history, std::mutex& gate, std::string path)
      : history_(history), gate_(gate), path_(std::move(path)), state_("history " + path_) {}
  void take(const Handed& item) override;
  const std::string& path() const { return path_; }
  // Says that the oldest rows gave way to new ones on a full disk, with
  // their count: at once, then at most once a minute while they go on; the
  // records among them that a broker had not acknowledged go to
  // `unpublished_deleted` each time. With `now_or_never` (at exit) what was
  // not said yet is said at once.
  void say_given_way(bool now_or_never = false);
  void set_unpublished_deleted(std::function<void(unsigned long)> unpublished_deleted) {
    unpublished_deleted_ = std::move(unpublished_deleted);
  }
  // Takes in what became of the store's groups of rows since the last call.
  void collect();
  unsigned long records_lost() const { return state_.lost(); }
  unsigned long reports_lost() const { return reports_lost_; }

 private:
  HistoryStore& history_;
  std::mutex& gate_;
  std::string path_;
  WriteState state_;
  unsigned long reports_lost_ = 0;  // round reports not saved
  // Rows that gave way on a full file system, not said yet.
  unsigned long given_way_unsaid_ = 0;
  unsigned long unpublished_unsaid_ = 0;
  bool in_episode_ = false;
  std::chrono::steady_clock::time_point given_way_said_at_;
  std::function<void(unsigned long)> unpublished_deleted_;
};

// The live view's devices (it shows something only with --http).
class LiveViewSink : public RecordSink {
 public:
  explicit LiveViewSink(HttpView& view) : view_(view) {}
  void take(const Handed& item) override;

 private:
  HttpView& view_;
};

// The sinks of a run. Not locked: the runner calls it under its own lock.
class RecordSinks {
 public:
  void set_dump(std::unique_ptr<DumpSink> dump);
  void set_history(std::unique_ptr<HistorySink> history);
  void add(std::unique_ptr<RecordSink> sink);

  // Hands `item` to every sink, in the order they were set or added.
  void hand(const Handed& item);

  // Records and reports lost to the history, and records lost to the dump
  // folder, so far.
  std::pair<unsigned long, unsigned long> failures();

  // One line on the records lost over the whole run, or "" when none was.
  std::string losses();

 private:
  std::vector<std::unique_ptr<RecordSink>> sinks_;
  DumpSink* dump_ = nullptr;
  HistorySink* history_ = nullptr;
};
