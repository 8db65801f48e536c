#pragma once

// Each point's quality as a device's round reports in a history tell it.
#include "history.h"

#include <cstdint>
#include <string>
#include <vector>

struct PointQuality {
  bool any = false;                // the history holds a round report of the device
  std::vector<uint32_t> statuses;  // per point, from the newest report
  std::vector<std::string> read_at;  // per point, the last round that wrote it; "" none
};

// Reads the device's reports newest first, as far back as needed to find
// the round that last wrote each point: all of them when some point never
// was, or at most `max_reports` (0: no limit).
bool load_point_quality(HistoryStore& history, uint32_t device_id, PointQuality& out,
                        std::string& error, std::size_t max_reports = 0);
