#pragma once

// What qrn-host says about a configured device when it starts it: one line
// with its connection, and one warning per settings key the driver ignores.
#include "config.h"

#include <string>
#include <vector>

// "device 7: opc.tcp://10.0.0.5:4840, read batch (500 nodes), session per round,
// security SignAndEncrypt Basic256Sha256 user "qrn"".
std::string device_start_line(const DeviceConfig& device);

// One line per key inside "settings" or "settings"/"appSetting" that the driver
// does not know, e.g. `device 7: unknown key "appSetting"/"red_mode" (ignored)`.
std::vector<std::string> unknown_key_lines(const DeviceConfig& device);

// Whether the device's records get their "device N round N ..." line: not
// when its "appSetting" says "round_lines": false.
bool round_lines_on(const DeviceConfig& device);
