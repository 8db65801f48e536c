#include "retention.h"

#include "log.h"
#include "record.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

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

bool Retention::wait_seconds(unsigned seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_.load(); });
}

void Retention::run(unsigned interval_seconds) {
  std::string last_error;
  do {
    std::string error;
    const std::string cutoff = qrn_record::local_time_ago(std::chrono::hours(24) * limits_.keep_days);
    const unsigned long n = pruner_.prune(limits_, cutoff, &stopping_, gate_, error);
    if (n > 0) {
      std::printf("%sretention: %lu records deleted\n",
                  journal_prefix(STDOUT_FILENO, LogPriority::Info).c_str(), n);
      std::fflush(stdout);
    }
    // A failure is said once, not every pass, until the next pass succeeds.
    if (!error.empty() && error != last_error)
      std::fprintf(stderr, "%sqrn-host: retention: %s (tried again later)\n",
                   journal_prefix(STDERR_FILENO, LogPriority::Warning).c_str(), error.c_str());
    last_error = error;
  } while (wait_seconds(interval_seconds));
}
