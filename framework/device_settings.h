#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>

// What a device's settings write into: the operating mode, the two
// alarm-signal tables of the device and the host's alarm maps.
struct DeviceSettingsTarget {
  int& b_mode;
  std::map<std::string, std::string>& alarm_ids;
  std::map<std::string, std::string>& signal_names;
  std::map<std::string, int>& alarm_levels;
  std::map<std::string, float>& alarm_values;
};

// Reads "appSetting"/"b_mode" and, in mode 3, the "thresholdSetting" entries,
// writing the trace lines as it goes. Never throws on any JSON tree.
void apply_device_settings(const Json::Value& settings, uint32_t device_id,
                           DeviceSettingsTarget target);

// "appSetting"/"round_lines": false leaves out a device's per-round progress
// lines (failures are still said); absent or true keeps them. Any other value
// gives one line and keeps them. Never throws on any JSON tree.
bool round_lines_setting(const Json::Value& settings, uint32_t device_id);
