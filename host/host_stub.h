#pragma once

// Observation hooks of the host stand-in: what a device hands to the host,
// in the order it happens, for host programs and tests.
#include "qrn_device.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qrn_host {

enum class EventKind { SendSP, Reset, BatchCheck, SaveHistory, InitSetting, SocketSend };

struct Event {
  EventKind kind;
  const QRNVDevice* device = nullptr;
  uint32_t device_id = 0;
  int data_id = 0;
  unsigned int size = 0;
  bool flag = false;
  std::size_t rule_count = 0;
  std::vector<unsigned char> bytes;  // the record or data handed over
};

// Called for every event on the device's thread, one call at a time.
using Hook = std::function<void(const Event&)>;
void set_hook(Hook hook);

// The event log is kept only while recording is on (the default).
void set_recording(bool on);
std::vector<Event> events();
void clear_events();
// Waits until pred holds for the log, or the timeout passes; returns pred's last value.
bool wait_for(const std::function<bool(const std::vector<Event>&)>& pred,
              std::chrono::milliseconds timeout);
std::size_t count(EventKind kind, const QRNVDevice* device = nullptr);

// Result of DoBatchCheckThreshold and of the host's InitSetting.
void set_batch_result(bool result);
void set_init_setting_result(int result);

}  // namespace qrn_host
