// Feeds arbitrary text to the qrn-host configuration parser: it must answer
// every input with a result, never crash, throw or leak, and what it accepts
// must hold what it promises.
#include "config.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  HostConfig config;
  std::string error;
  bool ok = false;
  try {
    ok = parse_host_config(text, config, error);
  } catch (...) {
    std::abort();  // the parser promises to answer every text itself
  }
  if (!ok) {
    // A refusal always says why, in one line.
    if (error.empty() || error.find('\n') != std::string::npos) std::abort();
    return 0;
  }
  std::set<uint32_t> ids;
  for (const DeviceConfig& device : config.devices) {
    if (device.address.empty()) std::abort();
    if (!ids.insert(device.id).second) std::abort();  // ids are unique
  }
  return 0;
}
