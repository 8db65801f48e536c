#pragma once

#include <cstdint>

// What /metrics and the live view show of the history's budget, as the last
// pass found it.
struct HistoryGauges {
  bool oldest_known = false;
  int64_t oldest_unix = 0;  // the oldest row's saved time
  bool days_left_known = false;
  double days_left = 0;  // until the size budget is reached, at the last interval's rate
};
