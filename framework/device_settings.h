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
