#include "log_options.h"

#include "log.h"
#include "point_table.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

UA_LogLevel level_from_environment() {
  const char* level = std::getenv("QRN_LOG_LEVEL");
  if (level == nullptr) return UA_LOGLEVEL_WARNING;
  if (std::strcmp(level, "error") == 0) return UA_LOGLEVEL_ERROR;
  if (std::strcmp(level, "info") == 0) return UA_LOGLEVEL_INFO;
  if (std::strcmp(level, "debug") == 0) return UA_LOGLEVEL_DEBUG;
  return UA_LOGLEVEL_WARNING;
}

}  // namespace

UA_LogLevel library_log_level() {
  // Read once: the host sets the variable before it loads the module, and
  // the library asks on every one of its (mostly debug) log calls.
  static std::atomic<int> cached{-1};
  int level = cached.load(std::memory_order_relaxed);
  if (level < 0) {
    level = static_cast<int>(level_from_environment());
    cached.store(level, std::memory_order_relaxed);
  }
  return static_cast<UA_LogLevel>(level);
}

bool log_colour() { return isatty(STDOUT_FILENO) == 1; }

void say_setting_problems(const DriverSettings& settings) noexcept {
  try {
    for (const std::string& line : settings.problems) log_line(line, LogPriority::Warning);
  } catch (const std::exception&) {
    // Out of memory while logging: the settings apply all the same.
  }
}

bool FailureLog::should_say(std::size_t index, UA_StatusCode status, bool changes_only) {
  if (last_.empty()) last_.assign(kQuorlinPointCount, UA_STATUSCODE_GOOD);
  if (index >= last_.size()) return status != UA_STATUSCODE_GOOD;
  const UA_StatusCode before = last_[index];
  last_[index] = status;
  if ((before != UA_STATUSCODE_GOOD) != (status != UA_STATUSCODE_GOOD))
  {
    if (status != UA_STATUSCODE_GOOD)
      ++failing_;
    else
      --failing_;
  }
  if (status == UA_STATUSCODE_GOOD) return false;
  return !changes_only || status != before;
}
