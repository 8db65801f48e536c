#include "reload.h"

#include "device_lines.h"
#include "device_set.h"
#include "host_log.h"
#include "http_view.h"

#include <map>

namespace {

bool same_entry(const DeviceConfig& a, const DeviceConfig& b) {
  return a.address == b.address && a.port == b.port && a.settings == b.settings;
}

}  // namespace

bool load_config(const Options& options, HostConfig& config, std::string& error, bool reload) {
  std::string text;
  if (!read_config_file(options.config, text, error, reload)) return false;
  if (!parse_host_config(text, config, error)) {
    error = options.config + ": " + error;
    return false;
  }
  if (config.devices.size() > options.max_devices) {
    error = options.config + ": " + std::to_string(config.devices.size()) +
            " devices, more than the " + std::to_string(options.max_devices) +
            " this host runs (each is a thread and a session; --max-devices N raises the limit)";
    return false;
  }
  return true;
}

int check_config(Options options) {
  options.config = options.check_config;
  HostConfig config;
  std::string error;
  if (!load_config(options, config, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  for (const DeviceConfig& dc : config.devices)
    for (const std::string& line : unknown_key_lines(dc)) say(line, LogPriority::Warning);
  out(options.config + ": " + std::to_string(config.devices.size()) +
      (config.devices.size() == 1 ? " device" : " devices") + ", usable");
  return 0;
}

bool reload(const Options& options, DeviceSet& devices, HttpView& view) {
  HostConfig next;
  std::string error;
  if (!load_config(options, next, error, true)) {
    say("reload refused, devices unchanged: " + error, LogPriority::Warning);
    return true;
  }
  say("reloading " + options.config, LogPriority::Info);
  view.view().set_devices(next.devices);
  return devices.apply(next);
}

bool DeviceSet::apply(const HostConfig& config) {
  std::map<uint32_t, const DeviceConfig*> wanted;
  for (const DeviceConfig& dc : config.devices) wanted[dc.id] = &dc;
  for (std::size_t i = slots_.size(); i-- > 0;) {
    const auto it = wanted.find(slots_[i]->id);
    if (it != wanted.end() && same_entry(*it->second, slots_[i]->config)) {
      wanted.erase(it);
      continue;
    }
    out("device " + std::to_string(slots_[i]->id) + ": " +
        (it == wanted.end() ? "removed, stopped" : "changed, made again"));
    stop(i);
  }
  for (const DeviceConfig& dc : config.devices)
    if (wanted.count(dc.id) != 0 && !start(dc)) return false;
  return true;
}
