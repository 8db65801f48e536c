#include "device_settings.h"

#include "log.h"

#include <climits>
#include <new>
#include <sstream>

namespace {

// The value of key in obj when obj is an object holding key with a non-null
// value; nullptr otherwise. Only constant look-ups: the tree is never extended.
const Json::Value* present_member(const Json::Value& obj, const char* key) {
  if (obj.type() != Json::objectValue) return nullptr;
  const Json::Value& value = obj[key];
  return value.isNull() ? nullptr : &value;
}

// The text form of the member key of obj, or false when it is absent. A
// present array or object has no text form: it counts as absent and one line
// says which key was ignored.
bool member_text(const Json::Value& obj, const char* key, std::string& text) {
  const Json::Value* value = present_member(obj, key);
  if (value == nullptr) return false;
  if (value->isArray() || value->isObject()) {
    log_line(std::string("InitSetting ignored \"") + key + "\": no text value",
             LogPriority::Warning);
    return false;
  }
  text = value->asString();
  return true;
}

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi as the target's C library does it: leading white space, an optional
// sign, decimal digits up to the first other character, no digits give 0.
// Out-of-range values saturate to INT_MAX / INT_MIN (32-bit long there).
int parse_mode(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate the magnitude, stopping once past what an int can take.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

void apply_mode(const Json::Value& settings, uint32_t device_id, int& b_mode) {
  const Json::Value* app = present_member(settings, "appSetting");
  if (app == nullptr || app->type() != Json::objectValue) return;
  std::string text;
  if (!member_text(*app, "b_mode", text)) return;
  b_mode = parse_mode(text);
  log_line("InitSetting " + std::to_string(device_id) + " b_mode_:" + std::to_string(b_mode));
}

void apply_entry(const std::string& key, const Json::Value& entry, uint32_t device_id,
                 DeviceSettingsTarget& target) {
  std::string text;
  if (member_text(entry, "SignalName", text)) target.signal_names[key] = text;

  static const char* const kItems[] = {"NMAlarmID", "ID", "SignalNumber"};
  std::string ids;
  for (const char* item : kItems) {
    if (member_text(entry, item, text)) {
      ids += text;
    } else {
      log_line(std::to_string(device_id) + " " + item + " is missing", LogPriority::Warning);
    }
    ids += ';';
  }

  std::ostringstream line;
  line << "mobile:" << key << ":" << ids << " level:" << target.alarm_levels[key]
       << " value:" << target.alarm_values[key];
  log_line(line.str());
  target.alarm_ids[key] = ids;
}

void apply_alarm_entries(const Json::Value& settings, uint32_t device_id,
                         DeviceSettingsTarget& target) {
  log_line("here 1");
  const Json::Value* entries = present_member(settings, "thresholdSetting");
  if (entries == nullptr) return;
  log_line("here 2");
  // Only an object has named members; any other value yields none.
  if (entries->type() != Json::objectValue) return;
  for (auto it = entries->begin(); it != entries->end(); ++it) {
    const std::string key = it.name();
    log_line("here " + key);
    const Json::Value& entry = *it;
    if (entry.type() != Json::objectValue) continue;
    apply_entry(key, entry, device_id, target);
  }
}

}  // namespace

void apply_device_settings(const Json::Value& settings, uint32_t device_id,
                           DeviceSettingsTarget target) {
  // A root that is not an object reads like an empty one: every look-up
  // below finds nothing in it.
  try {
    apply_mode(settings, device_id, target.b_mode);
    if (target.b_mode == 3) apply_alarm_entries(settings, device_id, target);
  } catch (const std::bad_alloc&) {
    // Out of memory is the one failure left; the caller must go on to the
    // host's own InitSetting, so the tables stay as far as they got.
    try {
      log_line("InitSetting stopped: out of memory", LogPriority::Error);
    } catch (const std::bad_alloc&) {
    }
  }
}
