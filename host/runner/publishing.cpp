#include "publishing.h"

bool apply_publishing(EdgeNode& node, const HostConfig& config, std::string& error) {
  std::vector<uint32_t> ids;
  for (const DeviceConfig& dc : config.devices) ids.push_back(dc.id);
  return node.apply(config.has_sparkplug ? &config.sparkplug : nullptr, ids, error);
}

void PublisherSink::take(const Handed& item) {
  if (item.kind == Handed::Kind::Stored && !item.restored) node_.stored(item.device_id, item.data_id);
  else if (item.kind == Handed::Kind::Report) node_.report(item.device_id, item.event.bytes);
}
