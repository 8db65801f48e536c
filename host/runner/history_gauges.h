#pragma once

#include <cstdint>

// What /metrics and the live view show of the history's budget, as the last
// pass found it, and what retention and a full file system deleted so far.
struct HistoryGauges {
  bool oldest_known = false;
  // The oldest row's saved time as far as it can be told: the earliest saved
  // time kept, never later than now (a clock that was ahead saved it).
  int64_t oldest_unix = 0;
  bool days_left_known = false;
  double days_left = 0;  // until the size budget is reached, at the last interval's rate
  unsigned long deleted_by_age = 0;   // rows retention deleted for --keep-days
  unsigned long deleted_by_size = 0;  // rows retention deleted for the size limit
  unsigned long given_way = 0;        // rows that gave way on a full file system
};
