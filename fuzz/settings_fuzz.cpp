// Feeds arbitrary JSON settings to apply_device_settings and to the
// "opcua" check: no crash, no exception, no leak, the tables stay consistent
// with each other, and settings load only without problems.
#include "device_settings.h"
#include "security.h"
#include "silence_stdout.h"

#include <json/reader.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

struct Tables {
  int b_mode = 1;
  std::map<std::string, std::string> alarm_ids, signal_names;
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> alarm_values;

  DeviceSettingsTarget target() {
    return {b_mode, alarm_ids, signal_names, alarm_levels, alarm_values};
  }

  // Every stored entry went through the "mobile:" line (both host maps hold
  // its key), and a signal name is only stored together with its entry.
  void check() const {
    for (const auto& entry : alarm_ids) {
      if (!alarm_levels.count(entry.first) || !alarm_values.count(entry.first)) std::abort();
    }
    for (const auto& entry : signal_names) {
      if (!alarm_ids.count(entry.first)) std::abort();
    }
  }
};

void apply(const Json::Value& settings, Tables& tables) {
  apply_device_settings(settings, 7, tables.target());
  tables.check();
}

// The "opcua" check without the keys that name files, which would have the
// fuzzer read the file system.
void check_security(Json::Value settings) {
  if (settings.isObject() && settings["opcua"].isObject()) {
    for (const char* key : {"certificate", "private_key", "trusted_servers"})
      settings["opcua"].removeMember(key);
  }
  const SecurityLoad load = load_session_security(settings);
  if (load.security && !load.problems.empty()) std::abort();
  if (load.present && !load.security && load.problems.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::unique_ptr<Json::CharReader> reader(
      Json::CharReaderBuilder().newCharReader());
  const char* begin = reinterpret_cast<const char*>(data);
  Json::Value settings;
  bool parsed = false;
  try {
    parsed = reader->parse(begin, begin + size, &settings, nullptr);
  } catch (const Json::Exception&) {
    // Nesting beyond the reader's limit is refused by throwing.
  }

  Tables tables;
  if (parsed) {
    apply(settings, tables);
    // A second call meets its own entries again, possibly now in mode 3.
    apply(settings, tables);
    check_security(settings);
  }
  apply(Json::Value(), tables);
  return 0;
}
