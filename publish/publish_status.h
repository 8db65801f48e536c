#pragma once

// What /metrics and the live view show of the publishing to a broker.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct PublishStatus {
  bool enabled = false;
  bool connected = false;
  std::string server;  // the connected one
  std::vector<std::string> servers;
  bool primary_host_online = true;  // true without a primary host
  struct Device {
    uint32_t id = 0;
    uint64_t backlog = 0;       // records saved, not yet acknowledged
    double oldest_seconds = 0;  // age of the oldest of them
  };
  std::vector<Device> devices;
  // Per type (NBIRTH, DBIRTH, DDATA, DDEATH): sent on a live connection.
  std::map<std::string, uint64_t> messages;
  uint64_t link_failures = 0;  // the broker link's thread failed and started over
  uint64_t dropped = 0;  // unpublished records that retention had to delete
};
