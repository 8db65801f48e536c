#include "device_lines.h"

#include "endpoint.h"
#include "settings_schema.h"

#include <json/value.h>

// The start line reads the settings the way the driver does, so it says what
// the driver will do.
std::string device_start_line(const DeviceConfig& device) {
  const DriverSettings app = parse_driver_settings(device.settings, device.id);
  const std::string read =
      app.batch_cap == 0 ? "single" : "batch (" + std::to_string(app.batch_cap) + " nodes)";
  const std::string session = app.session == SessionMode::Keep ? "keep" : "per round";
  std::string line = "device " + std::to_string(device.id) + ": " +
                     endpoint_url(device.address, device.port) + ", read " + read +
                     ", session " + session + ", security " + security_summary(device.settings);
  if (app.log_changes) line += ", log changes";
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
    if (find_setting("settings", key) == nullptr) say("\"" + key + "\" in settings");
  const Json::Value& app = device.settings["appSetting"];
  if (app.isObject())
    for (const std::string& key : app.getMemberNames())
      if (find_setting("appSetting", key) == nullptr) say("\"" + key + "\" in appSetting");
  return lines;
}

bool round_lines_on(const DeviceConfig& device) {
  return parse_driver_settings(device.settings, device.id).round_lines;
}
