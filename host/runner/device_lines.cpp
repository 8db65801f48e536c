#include "device_lines.h"

#include "endpoint.h"

#include <json/value.h>

#include <algorithm>
#include <iterator>

namespace {

// Keys of "settings" and of "appSetting" that the driver (or a host) reads.
constexpr const char* kSettingsKeys[] = {"appSetting", "thresholdSetting", "opcua"};
constexpr const char* kAppKeys[] = {"b_mode",          "read_mode", "max_nodes_per_read", "log",
                                    "round_report_id", "session",   "round_lines"};

template <std::size_t N>
bool known(const char* const (&keys)[N], const std::string& key) {
  return std::find_if(std::begin(keys), std::end(keys),
                      [&](const char* k) { return key == k; }) != std::end(keys);
}

std::string text_or(const Json::Value& v, const char* key, const std::string& fallback) {
  return v.isObject() && v[key].isString() ? v[key].asString() : fallback;
}

}  // namespace

std::string device_start_line(const DeviceConfig& device) {
  const Json::Value& s = device.settings;
  const Json::Value none;
  const Json::Value& app = s.isObject() && s["appSetting"].isObject() ? s["appSetting"] : none;
  const Json::Value& ua = s.isObject() && s["opcua"].isObject() ? s["opcua"] : none;

  std::string read = text_or(app, "read_mode", "single");
  if (read == "batch") {
    const Json::Value& cap = app["max_nodes_per_read"];
    read += " (" + (cap.isUInt() ? std::to_string(cap.asUInt()) : std::string("500")) + " nodes)";
  }
  std::string session = "per round";
  if (app.isObject() && app.isMember("session"))
    session = app["session"].isString() ? app["session"].asString() : "(not a text)";
  std::string security = text_or(ua, "security_mode", "None");
  if (security != "None") {
    const std::string policy = text_or(ua, "security_policy", "");
    security += policy.empty() ? " best policy" : " " + policy;
  }
  const std::string user = text_or(ua, "user", "");
  security += user.empty() ? ", anonymous" : ", user \"" + user + "\"";
  std::string line = "device " + std::to_string(device.id) + ": " +
                     endpoint_url(device.address, device.port) + ", read " + read +
                     ", session " + session + ", security " + security;
  if (app.isObject() && app["log"].isString() && app["log"].asString() == "changes")
    line += ", log changes";
  // A value typed as text may carry anything: keep the line one line.
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

std::vector<std::string> unknown_key_lines(const DeviceConfig& device) {
  std::vector<std::string> lines;
  const std::string who = "device " + std::to_string(device.id) + ": unknown key ";
  auto say = [&](const std::string& where) {
    std::string line = who + where + " (ignored)";
    for (char& c : line)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    lines.push_back(line);
  };
  if (!device.settings.isObject()) return lines;
  for (const std::string& key : device.settings.getMemberNames())
    if (!known(kSettingsKeys, key)) say("\"" + key + "\" in settings");
  const Json::Value& app = device.settings["appSetting"];
  if (app.isObject())
    for (const std::string& key : app.getMemberNames())
      if (!known(kAppKeys, key)) say("\"" + key + "\" in appSetting");
  return lines;
}

bool round_lines_on(const DeviceConfig& device) {
  const Json::Value& s = device.settings;
  if (!s.isObject() || !s["appSetting"].isObject()) return true;
  const Json::Value& on = s["appSetting"]["round_lines"];
  return !on.isBool() || on.asBool();
}
