#include "slow_round.h"

#include <cstdio>

std::string SlowRoundNotice::after_round(uint32_t device_id, std::chrono::milliseconds took,
                                         std::chrono::seconds period) {
  if (took <= period) return {};
  if (said_.count() != 0) {
    const auto moved = took > said_ ? took - said_ : said_ - took;
    if (moved * 2 <= said_) return {};
  }
  said_ = took;
  char text[200];
  std::snprintf(text, sizeof text,
                "Quorlin::do_sample device %lu: reading point by point took %.1f s, longer than "
                "the %lld s period; \"read_mode\": \"batch\" reads the same points in a few "
                "round trips",
                static_cast<unsigned long>(device_id), static_cast<double>(took.count()) / 1000.0,
                static_cast<long long>(period.count()));
  return text;
}
