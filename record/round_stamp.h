#pragma once

// The 7-byte round time stamp at the end of a record: year (16-bit,
// little-endian), month, day, hour, minute, second, in local time. The host
// encodes it (get_ttime, qrn_device.h).
struct RoundStamp {
  unsigned char bytes[7];
};
static_assert(sizeof(RoundStamp) == 7, "RoundStamp is 7 bytes");
