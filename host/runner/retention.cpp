#include "retention.h"

#include "log.h"
#include "edge_node.h"
#include "record.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

bool Retention::start(const std::string& path, RetentionLimits limits,
                      unsigned interval_seconds, std::mutex* gate, std::string& error) {
  limits_ = limits;
  gate_ = gate;
  if (!pruner_.open(path, error)) return false;
  thread_ = std::thread(&Retention::run, this, interval_seconds);
  return true;
}

void Retention::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  pruner_.close();
}

HistoryGauges Retention::gauges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gauges_;
}

void Retention::update_gauges(uint64_t keep_bytes, int64_t& last_seq,
                              std::chrono::steady_clock::time_point& last_at) {
  HistoryFigures f;
  HistoryGrowth g;
  const auto now = std::chrono::steady_clock::now();
  if (!pruner_.figures(f) || !pruner_.growth(last_seq, g)) return;
  HistoryGauges out;
  std::tm tm{};
  std::string earliest;
  if (pruner_.earliest(earliest) && !earliest.empty() &&
      strptime(earliest.c_str(), "%Y-%m-%d %H:%M:%S", &tm) != nullptr) {
    tm.tm_isdst = -1;  // saved as local time
    // Never later than now: a row saved by a clock that was ahead is no
    // older for it.
    out.oldest_unix = std::min<int64_t>(std::mktime(&tm), std::time(nullptr));
    out.oldest_known = true;
  }
  // The rate of the interval since the last pass (none at the first).
  const double seconds = std::chrono::duration<double>(now - last_at).count();
  if (last_seq >= 0 && seconds > 0 && g.bytes > 0) {
    const double per_day = static_cast<double>(g.bytes) / seconds * 86400.0;
    out.days_left_known = true;
    out.days_left =
        keep_bytes > f.used_bytes ? static_cast<double>(keep_bytes - f.used_bytes) / per_day : 0.0;
  }
  last_seq = g.newest_seq;
  last_at = now;
  std::lock_guard<std::mutex> lock(mutex_);
  out.deleted_by_age = gauges_.deleted_by_age;
  out.deleted_by_size = gauges_.deleted_by_size;
  gauges_ = out;
}

bool Retention::wait_seconds(unsigned seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_.load(); });
}

void Retention::run(unsigned interval_seconds) {
  std::string last_error;
  bool said_short = false;
  int64_t last_seq = -1;
  auto last_at = std::chrono::steady_clock::now();
  do {
    std::string error;
    const std::string cutoff = qrn_record::local_time_ago(std::chrono::hours(24) * limits_.keep_days);
    const std::string not_after = qrn_record::local_time_ago(-kClockAhead);
    uint64_t keep_bytes = limits_.keep_bytes;
    HistoryFigures f;
    // No --keep-mb: the disk budget, at least one byte (0 would mean no limit).
    if (keep_bytes == 0 && pruner_.figures(f))
      keep_bytes = std::max<uint64_t>(kept_bytes_by_default(f), 1);
    const PruneResult r =
        pruner_.prune(limits_.keep_days, keep_bytes, cutoff, not_after, &stopping_, gate_, error);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gauges_.deleted_by_age += r.deleted - r.by_size;
      gauges_.deleted_by_size += r.by_size;
    }
    if (r.deleted > 0) {
      std::printf("%sretention: %lu records deleted\n",
                  journal_prefix(STDOUT_FILENO, LogPriority::Info).c_str(), r.deleted);
      std::fflush(stdout);
    }
    if (r.unpublished > 0) {
      std::fprintf(stderr,
                   "%sqrn-host: retention: %lu records deleted before a broker acknowledged "
                   "them (the history's size limit)\n",
                   journal_prefix(STDERR_FILENO, LogPriority::Warning).c_str(), r.unpublished);
      if (publisher_ != nullptr) publisher_->dropped(r.unpublished);
    }
    // The size limit keeps less than --keep-days: said once, and again only
    // after the history has reached back to --keep-days.
    const bool is_short = limits_.keep_days > 0 && (r.by_size > 0 || said_short) &&
                          pruner_.figures(f) && !f.oldest.empty() && f.oldest > cutoff;
    if (is_short && !said_short)
      std::fprintf(stderr,
                   "%sqrn-host: retention: the history's size budget (%llu MiB) keeps records "
                   "since %s only, less than --keep-days %lu\n",
                   journal_prefix(STDERR_FILENO, LogPriority::Warning).c_str(),
                   static_cast<unsigned long long>(keep_bytes >> 20), f.oldest.c_str(),
                   limits_.keep_days);
    said_short = is_short;
    update_gauges(keep_bytes, last_seq, last_at);
    // A failure is said once, not every pass, until the next pass succeeds.
    if (!error.empty() && error != last_error)
      std::fprintf(stderr, "%sqrn-host: retention: %s (tried again later)\n",
                   journal_prefix(STDERR_FILENO, LogPriority::Warning).c_str(), error.c_str());
    last_error = error;
  } while (wait_seconds(interval_seconds));
}
