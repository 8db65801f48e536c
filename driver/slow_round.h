#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Says when reading the points one by one takes longer than the round
// period, and that the batched mode reads them in a few round trips: once
// per device, again only when the duration moves by more than half of the
// one last said. Used by one sampling thread.
class SlowRoundNotice {
 public:
  // The line for a point-by-point read of a round that took `took`; empty
  // when nothing is to be said.
  std::string after_round(uint32_t device_id, std::chrono::milliseconds took,
                          std::chrono::seconds period);

 private:
  std::chrono::milliseconds said_{0};  // the duration last said; 0: none yet
};
