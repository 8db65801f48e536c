#pragma once

// What a sampling round needs from the device it runs for: where to connect,
// and where its record and its report go.
#include "round_report.h"

#include <cstdint>
#include <string>

class WorkingRecord;

// The controller a round reads, as the device knows it when the round starts.
struct RoundTarget {
  uint32_t device_id = 0;
  std::string address;
  uint16_t port = 0;
};

// Takes a round's results; called on the sampling thread.
class RoundHost {
 public:
  // Copies the points the round wrote into the device's record and hands it over.
  virtual void commit(const WorkingRecord& work) = 0;
  // Stamps the round's report (with the record's stamp when `handed_over`,
  // else the local time) and hands it over under `data_id`.
  virtual void send_report(uint32_t data_id, qrn_report::RoundReport& report,
                           bool handed_over) = 0;

 protected:
  ~RoundHost() = default;
};
