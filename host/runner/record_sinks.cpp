#include "record_sinks.h"

#include "history.h"
#include "host_log.h"
#include "http_view.h"
#include "record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// Writes a whole file or none: the bytes go to a temporary file in the same
// folder, which is renamed into place only once every byte is written and synced.
bool write_whole_file(const std::string& path, const unsigned char* data, std::size_t size,
                      std::string& error) {
  const std::size_t slash = path.rfind('/');
  const std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmp-" +
                           std::to_string(getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  int err = 0;
  for (std::size_t done = 0; done < size && err == 0;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      err = errno;
    else if (n == 0)
      err = ENOSPC;
  }
  // On the disk before the name: after a power cut the file is whole or absent.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    error = std::strerror(err);
    return false;
  }
  return true;
}

}  // namespace

void WriteState::failed(const std::string& what, const std::string& error) {
  ++lost_total_;
  ++lost_now_;
  const auto now = std::chrono::steady_clock::now();
  if (error != error_) {
    error_ = error;
    said_at_ = now;
    unsaid_ = 0;
    say(what + ": " + error + " (sampling goes on; the records lost are said each minute while "
        "it lasts)", LogPriority::Warning);
    return;
  }
  ++unsaid_;
  if (now - said_at_ < kSayEvery) return;
  say(place_ + ": " + std::to_string(unsaid_) + " more records lost since the last line (" +
          error_ + ")",
      LogPriority::Warning);
  said_at_ = now;
  unsaid_ = 0;
}

void WriteState::succeeded() {
  if (error_.empty()) return;
  say(place_ + ": records kept again after " + std::to_string(lost_now_) + " lost",
      LogPriority::Info);
  error_.clear();
  lost_now_ = 0;
  unsaid_ = 0;
}

bool prepare_dump_dir(const std::string& dir, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    error = "cannot use dump directory " + dir + ": " +
            (ec ? ec.message() : std::string("not a directory"));
    return false;
  }
  const std::string probe = dir + "/.qrn-host-probe-" + std::to_string(getpid());
  std::FILE* f = std::fopen(probe.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write in dump directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  std::remove(probe.c_str());
  return true;
}

void DumpSink::take(const Handed& item) {
  if (item.kind != Handed::Kind::Record) return;
  const std::string path = dir_ + "/" + std::to_string(item.device_id) + "-" +
                           std::to_string(item.round) + ".bin";
  const std::vector<unsigned char>& bytes = item.event.bytes;
  std::string error;
  if (write_whole_file(path, bytes.data(), bytes.size(), error))
    state_.succeeded();
  else
    state_.failed("cannot write " + path, error);
}

void HistorySink::take(const Handed& item) {
  const std::vector<unsigned char>& bytes = item.event.bytes;
  std::string error;
  collect();
  if (item.kind == Handed::Kind::Report) {
    // Round reports go into the history beside the records; one that cannot
    // be saved is counted, the records' lines say what fails. Like every
    // save, it waits for a retention step to finish rather than fail.
    std::lock_guard<std::mutex> gate(gate_);
    if (!history_.save(item.device_id, item.data_id, qrn_record::local_now_text(), bytes.data(),
                       bytes.size(), error))
      ++reports_lost_;
    return;
  }
  // Records come to the history as the device asks it to keep them; a
  // restored record is there already.
  if (item.kind != Handed::Kind::Stored || item.restored) return;
  std::lock_guard<std::mutex> gate(gate_);
  if (!history_.save(item.device_id, item.data_id, qrn_record::local_now_text(), bytes.data(),
                     bytes.size(), error))
    state_.failed("cannot save device " + std::to_string(item.device_id) +
                      "'s record in history " + history_.path(),
                  error);
}

void HistorySink::collect() {
  // The rows are committed in groups by the store's thread: what became of
  // the groups since the last look, said as a save's outcome was before.
  const GroupResults r = history_.take_results();
  for (unsigned long n = 0; n < r.records_lost; ++n)
    state_.failed("cannot save device " + std::to_string(r.device_id) + "'s record in history " +
                      history_.path(),
                  r.error);
  reports_lost_ += r.reports_lost;
  if (r.kept_after) state_.succeeded();
  say_given_way();
}

void HistorySink::say_given_way(bool now_or_never) {
  unsigned long unpublished = 0;
  const unsigned long n = history_.take_rows_given_way(&unpublished);
  if (unpublished > 0 && unpublished_deleted_) unpublished_deleted_(unpublished);
  given_way_unsaid_ += n;
  unpublished_unsaid_ += unpublished;
  // The first rows of an episode at once, then what followed at most once a
  // minute; an episode ends with a minute in which none gave way.
  const auto now = std::chrono::steady_clock::now();
  if (given_way_unsaid_ == 0) {
    if (now - given_way_said_at_ >= WriteState::kSayEvery) in_episode_ = false;
    return;
  }
  if (in_episode_ && now - given_way_said_at_ < WriteState::kSayEvery && !now_or_never) return;
  say("history " + path_ + ": the file system is short of room; the oldest records make way "
      "for new ones (" + std::to_string(given_way_unsaid_) + " rows deleted" +
          (unpublished_unsaid_ > 0 ? ", " + std::to_string(unpublished_unsaid_) +
                                         " of them records a broker had not acknowledged"
                                   : "") +
          (in_episode_ ? " since the last line)" : ")"),
      LogPriority::Warning);
  in_episode_ = true;
  given_way_said_at_ = now;
  given_way_unsaid_ = 0;
  unpublished_unsaid_ = 0;
}

void LiveViewSink::take(const Handed& item) { view_.on_event(item.event); }

void RecordSinks::set_dump(std::unique_ptr<DumpSink> dump) {
  dump_ = dump.get();
  sinks_.push_back(std::move(dump));
}

void RecordSinks::set_history(std::unique_ptr<HistorySink> history) {
  history_ = history.get();
  sinks_.push_back(std::move(history));
}

void RecordSinks::add(std::unique_ptr<RecordSink> sink) { sinks_.push_back(std::move(sink)); }

void RecordSinks::hand(const Handed& item) {
  for (const auto& sink : sinks_) sink->take(item);
}

std::pair<unsigned long, unsigned long> RecordSinks::failures() {
  if (history_) history_->collect();
  const unsigned long history = history_ ? history_->records_lost() + history_->reports_lost() : 0;
  return {history, dump_ ? dump_->lost() : 0};
}

std::string RecordSinks::losses() {
  if (history_) {
    history_->collect();
    history_->say_given_way(true);  // the rows not said yet, before the run's summary
  }
  std::string text;
  if (dump_ && dump_->lost() > 0)
    text = std::to_string(dump_->lost()) + " records not written to " + dump_->dir();
  if (history_ && history_->records_lost() > 0)
    text += (text.empty() ? "" : ", ") + std::to_string(history_->records_lost()) +
            " records not saved in history " + history_->path();
  return text;
}
