#pragma once

#include "record.h"

#include <chrono>
#include <cstddef>

// Time between the first rounds of consecutive devices: many devices spread
// their rounds over the period instead of all connecting at once, which
// would keep that burst in step round after round. A single device starts
// at once.
inline std::chrono::microseconds first_round_spacing(std::size_t devices) {
  if (devices <= 1) return std::chrono::microseconds{0};
  return std::chrono::duration_cast<std::chrono::microseconds>(qrn_record::kRoundPeriod) / devices;
}
