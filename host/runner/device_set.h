#pragma once

// The running devices: made from configuration entries (each handed its last
// stored record back first), deleted on reload or at exit.
#include "config.h"
#include "runner.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class HistoryStore;
class HttpView;

class DeviceSet {
 public:
  DeviceSet(QRNSocketDeviceProvider& factory, Runner& runner, HistoryStore* history,
            HttpView& view)
      : factory_(factory), runner_(runner), history_(history), view_(view) {}
  ~DeviceSet();
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // Creates, restores and configures the device; false when that failed.
  bool start(const DeviceConfig& dc);

  // Applies a new configuration: removed and changed devices are deleted
  // (their records stay in the history), then added and changed ones made.
  // In reload.cpp, beside the reload it serves.
  bool apply(const HostConfig& config);

 private:
  // Deletes the device (its sampling thread stopped and joined).
  void stop(std::size_t i);

  QRNSocketDeviceProvider& factory_;
  Runner& runner_;
  HistoryStore* history_;
  HttpView& view_;
  std::vector<std::unique_ptr<DeviceSlot>> slots_;
  std::map<uint32_t, unsigned long> rounds_;  // records of devices no longer running
};
