#pragma once

#include <cstddef>
#include <cstdint>

// One OPC UA variable read each round: its string node id in namespace 1
// (UTF-8), the record offset its value is copied to and the field width.
struct QuorlinPoint {
  const char* name;
  uint16_t offset;
  uint8_t width;
};

constexpr std::size_t kQuorlinPointCount = 2706;

// The points in read order. Constant-initialised: no start-up code runs.
extern const QuorlinPoint quorlin_points[kQuorlinPointCount];
