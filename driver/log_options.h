#pragma once

#include "settings_schema.h"

#include <open62541/plugin/log.h>
#include <open62541/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The least level of the OPC UA library's lines that is printed: the host
// sets QRN_LOG_LEVEL (error, warn, info or debug) before it loads the module;
// unset or anything else means warn.
UA_LogLevel library_log_level();

// Colour escapes only on a terminal: a file or the journal gets plain text.
bool log_colour();

// Writes the lines of the values a settings reading did not allow, as
// warnings. Never throws.
void say_setting_problems(const DriverSettings& settings) noexcept;

// Each point's last read status, for the "changes" mode. Only the sampling
// thread touches it.
class FailureLog {
 public:
  // Whether the read of `index` with `status` gets its failure line: always
  // unless `changes_only`; then when the status differs from the last one.
  bool should_say(std::size_t index, UA_StatusCode status, bool changes_only);
  // Points whose last read was not Good.
  std::size_t failing() const { return failing_; }

 private:
  std::vector<UA_StatusCode> last_;
  std::size_t failing_ = 0;
};
