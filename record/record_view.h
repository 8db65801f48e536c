#pragma once

// Reading the point fields out of a 7001-byte record, by the point table.
#include "point_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PointReading {
  std::size_t index = 0;  // in read order, from 0
  const QuorlinPoint* point = nullptr;
  std::array<unsigned char, 4> bytes{};  // the field's bytes as they lie in the record
  // 1 byte: unsigned; 2 bytes: signed 16-bit; 4 bytes: IEEE single.
  double value = 0.0;
  // Set when a later point or the time stamp writes over part of this
  // field, so that the record does not carry the value as it was read.
  std::string overwritten_by;
};

// A field's value from its `width` bytes as they lie in the record.
double field_value(std::size_t width, const unsigned char* bytes);

// Every point of the table, in read order. `record` holds 7001 bytes.
std::vector<PointReading> read_points(const unsigned char* record);

// The value as text: an integer for 1 and 2 bytes, the shortest text that
// reads back as the same float for 4 bytes ("nan", "inf" when so).
std::string value_text(const PointReading& reading);

// The field's bytes in record order as hex, e.g. "00 00 48 41" (sep " ") or
// "00004841" (sep "").
std::string hex_bytes(const PointReading& reading, const char* sep);
