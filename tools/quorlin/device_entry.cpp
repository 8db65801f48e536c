#include "device_entry.h"

#include "config.h"

#include <fstream>
#include <sstream>

bool device_connection(const std::string& file, const std::string& device, DeviceConnection& out,
                       std::string& error) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    error = "cannot read " + file;
    return false;
  }
  HostConfig config;
  if (!parse_host_config(text.str(), config, error)) {
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
