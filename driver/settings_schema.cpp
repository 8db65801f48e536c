#include "settings_schema.h"

#include <cstring>
#include <exception>

namespace {

// Every entry of both tables, the device settings first.
template <class Visit>
void each_setting(Visit visit) {
  for (const SettingEntry& e : kDeviceSettings) visit(e);
  for (const SettingEntry& e : kOpcuaSettings) visit(e);
}

const SettingEntry& entry(const char* key) {
  const SettingEntry* e = find_setting("appSetting", key);
  return e != nullptr ? *e : kDeviceSettings[0];
}

// How a key's value turned out: absent (or null), allowed, or not allowed.
enum class Found { Absent, Good, Bad };

// The index in `choices` of a Choice key's text.
Found choice(const Json::Value& app, const SettingEntry& e, std::size_t& index) {
  const Json::Value& v = app[e.key];
  if (v.isNull()) return Found::Absent;
  if (!v.isString()) return Found::Bad;
  for (std::size_t i = 0; i < 2; ++i)
    if (e.choices[i] != nullptr && v.asString() == e.choices[i]) {
      index = i;
      return Found::Good;
    }
  return Found::Bad;
}

Found whole(const Json::Value& app, const SettingEntry& e, uint32_t& value) {
  const Json::Value& v = app[e.key];
  if (v.isNull()) return Found::Absent;
  // isUInt also takes a whole-numbered double such as 500.0.
  if (!v.isUInt()) return Found::Bad;
  value = v.asUInt();
  const bool allowed = value >= e.low && value <= e.high && (e.excluded == 0 || value != e.excluded);
  return allowed ? Found::Good : Found::Bad;
}

Found flag(const Json::Value& app, const SettingEntry& e, bool& value) {
  const Json::Value& v = app[e.key];
  if (v.isNull()) return Found::Absent;
  if (!v.isBool()) return Found::Bad;
  value = v.asBool();
  return Found::Good;
}

// Notes a value not allowed; returns whether the value was allowed.
bool check(Found found, const SettingEntry& e, uint32_t device_id, DriverSettings& out) {
  if (found != Found::Bad) return true;
  if (e.problem != nullptr)
    out.problems.push_back("InitSetting " + std::to_string(device_id) + " " + e.key + " " +
                           e.problem + "; " + e.fallback);
  return false;
}

void read_batching(const Json::Value& app, uint32_t device_id, DriverSettings& out) {
  std::size_t mode = 0;
  // A read mode not allowed gives single reads; the cap is then not looked at.
  if (!check(choice(app, entry("read_mode"), mode), entry("read_mode"), device_id, out)) return;
  uint32_t cap = kDefaultMaxNodesPerRead;
  const SettingEntry& nodes = entry("max_nodes_per_read");
  const Found found = whole(app, nodes, cap);
  if (!check(found, nodes, device_id, out)) return;
  out.batch_cap = mode == 1 ? cap : 0;
}

void read_app_settings(const Json::Value& app, uint32_t device_id, DriverSettings& out) {
  read_batching(app, device_id, out);
  std::size_t log = 0;
  if (check(choice(app, entry("log"), log), entry("log"), device_id, out))
    out.log_changes = log == 1;
  std::size_t session = 0;
  if (check(choice(app, entry("session"), session), entry("session"), device_id, out))
    out.session = session == 1 ? SessionMode::Keep : SessionMode::Round;
  bool lines = true;
  if (check(flag(app, entry("round_lines"), lines), entry("round_lines"), device_id, out))
    out.round_lines = lines;
  uint32_t report = 0;
  if (check(whole(app, entry("round_report_id"), report), entry("round_report_id"), device_id,
            out))
    out.round_report_id = report;
}

std::string text_or(const Json::Value& v, const char* key, const std::string& fallback) {
  return v.isObject() && v[key].isString() ? v[key].asString() : fallback;
}

}  // namespace

const SettingEntry* find_setting(const char* section, const std::string& key) {
  const SettingEntry* found = nullptr;
  each_setting([&](const SettingEntry& e) {
    if (found == nullptr && std::strcmp(e.section, section) == 0 && key == e.key) found = &e;
  });
  return found;
}

std::string setting_keys(const char* section) {
  std::string keys;
  each_setting([&](const SettingEntry& e) {
    if (std::strcmp(e.section, section) != 0) return;
    if (!keys.empty()) keys += ", ";
    keys += e.key;
  });
  return keys;
}

std::string setting_table_row(const SettingEntry& e) {
  return std::string("| `") + e.key + "` | " + e.type + " | " + e.default_text + " | " +
         e.allowed + " | " + e.description + " |";
}

DriverSettings parse_driver_settings(const Json::Value& settings, uint32_t device_id) noexcept {
  try {
    DriverSettings out;
    // Only constant look-ups on objects: the tree is never extended.
    if (settings.type() != Json::objectValue) return out;
    const Json::Value& app = settings["appSetting"];
    if (app.type() != Json::objectValue) return out;
    read_app_settings(app, device_id, out);
    return out;
  } catch (const std::exception&) {
    return DriverSettings{};  // out of memory: the defaults, nothing said
  }
}

std::string security_summary(const Json::Value& settings) {
  const Json::Value none;
  const Json::Value& ua =
      settings.isObject() && settings["opcua"].isObject() ? settings["opcua"] : none;
  std::string security = text_or(ua, "security_mode", "None");
  if (security != "None") {
    const std::string policy = text_or(ua, "security_policy", "");
    security += policy.empty() ? " best policy" : " " + policy;
  }
  const std::string user = text_or(ua, "user", "");
  return security + (user.empty() ? ", anonymous" : ", user \"" + user + "\"");
}
