#pragma once

// What the host side knows of a driver record: its size, the device id in
// the first four bytes and the time stamp in the last seven.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn_record {

constexpr std::size_t kSize = 7001;
constexpr int kDataId = 5156;
constexpr std::size_t kStampOffset = 6994;
constexpr std::size_t kStampSize = 7;

// Bytes 0..3, little-endian.
uint32_t device_id(const unsigned char* record);

// Bytes 6994..7000 (year little-endian 16-bit, month, day, hour, minute,
// second) as "YYYY-MM-DD HH:MM:SS"; the stamp already is local time.
std::string stamp_text(const unsigned char* record);

// The current local time in the same form.
std::string local_now_text();

}  // namespace qrn_record
