#include "device_entry.h"

#include "config.h"

#include <string>

bool device_connection(const std::string& file, const std::string& device, DeviceConnection& out,
                       std::string& error) {
  // As qrn-host reads it: bounded in size, no directory or device.
  std::string text;
  if (!read_config_file(file, text, error)) return false;
  HostConfig config;
  if (!parse_host_config(text, config, error)) {
    error = file + ": " + error;
    return false;
  }
  for (const DeviceConfig& dc : config.devices) {
    if (std::to_string(dc.id) != device) continue;
    out.address = dc.address;
    out.port = dc.port;
    const SecurityLoad load = load_session_security(dc.settings);
    if (!load.problems.empty()) {
      error = file + ": device " + device + ": " + load.problems.front();
      return false;
    }
    out.security = load.security;
    return true;
  }
  error = file + " has no device " + device;
  return false;
}
