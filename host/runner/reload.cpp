#include "reload.h"

#include "certificates.h"
#include "device_lines.h"
#include "device_set.h"
#include "host_log.h"
#include "http_view.h"
#include "publishing.h"

#include <algorithm>
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
  SparkplugConfig& sp = config.sparkplug;
  if (config.has_sparkplug && !sp.password_file.empty()) {
    // The rules of the devices' password files: regular, the owner's alone.
    const std::string problem = read_secret_file(sp.password_file, sp.password);
    sp.password.resize(std::min(sp.password.find_first_of("\r\n"), sp.password.size()));
    if (!problem.empty() || sp.password.empty()) {
      error = options.config + ": sparkplug: password_file \"" + sp.password_file + "\" " +
              (problem.empty() ? "holds no password"
               : problem.compare(0, 3, "is ") == 0 ? problem
                                                   : "cannot be read: " + problem);
      return false;
    }
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
  if (config.has_sparkplug)
    out(options.config + ": sparkplug: edge node " + config.sparkplug.group_id + "/" +
        config.sparkplug.edge_node_id + ", " + std::to_string(config.sparkplug.servers.size()) +
        (config.sparkplug.servers.size() == 1 ? " server" : " servers"));
  return 0;
}

bool reload(const Options& options, DeviceSet& devices, HttpView& view, EdgeNode* publisher) {
  HostConfig next;
  std::string error;
  if (!load_config(options, next, error, true)) {
    say("reload refused, devices unchanged: " + error, LogPriority::Warning);
    return true;
  }
  if (next.has_sparkplug && publisher == nullptr) {
    say("reload refused, devices unchanged: " + options.config +
            ": sparkplug: publishing needs --history (the records are published from it)",
        LogPriority::Warning);
    return true;
  }
  say("reloading " + options.config, LogPriority::Info);
  view.view().set_devices(next.devices);
  const bool made = devices.apply(next);
  // The publishing follows the devices: a new one is published from its first record.
  if (publisher != nullptr && !apply_publishing(*publisher, next, error))
    say("sparkplug: not publishing: " + error, LogPriority::Warning);
  return made;
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
