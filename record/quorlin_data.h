#pragma once

#include "round_stamp.h"

#include <cstddef>
#include <cstdint>

// The packed 7001-byte record handed to the host each round. The point
// fields between the device id and the stamp are reached by byte offset
// (see point_table.h); many of them are unaligned and two pairs overlap.
#pragma pack(push, 1)
struct Quorlin_Data_t {
  uint32_t device_id;          // 0..3
  unsigned char points[6990];  // 4..6993
  RoundStamp stamp;            // 6994..7000
};
#pragma pack(pop)

static_assert(sizeof(Quorlin_Data_t) == 7001, "record is 7001 bytes");
static_assert(offsetof(Quorlin_Data_t, device_id) == 0, "device id at 0");
static_assert(offsetof(Quorlin_Data_t, points) == 4, "points from 4");
static_assert(offsetof(Quorlin_Data_t, stamp) == 6994, "stamp at 6994");
static_assert(alignof(Quorlin_Data_t) == 1, "record is packed");
