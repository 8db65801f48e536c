// Packing a round's record: each read value into its field of the working
// copy, then the points read into the device's record in one step.
#include "record_packer.h"

#include "log.h"
#include "point_table.h"
#include "value_copy.h"

#include <algorithm>
#include <cstring>
#include <string>

WorkingRecord::WorkingRecord()
    : work_(std::make_unique<Quorlin_Data_t>()),
      written_(std::make_unique<bool[]>(kQuorlinPointCount)) {}

uint8_t WorkingRecord::pack(std::size_t i, UA_StatusCode status, UA_Variant& value) {
  const QuorlinPoint& point = quorlin_points[i];
  // Good with info bits and Uncertain values are kept; their line is out already.
  const uint8_t type = copied_type(value);
  written_[i] = copy_value_to_field(value, fields() + point.offset, point.width);
  if (!written_[i] && status == UA_STATUSCODE_GOOD)
    log_line(std::string("ReadVariant ") + point.name + " returned no numeric value",
             LogPriority::Warning);
  UA_Variant_clear(&value);
  return written_[i] ? type : 0;
}

bool WorkingRecord::any_written() const {
  return std::any_of(written_.get(), written_.get() + kQuorlinPointCount,
                     [](bool w) { return w; });
}

void WorkingRecord::copy_into(unsigned char* record) const {
  const unsigned char* from = reinterpret_cast<const unsigned char*>(work_.get());
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (!written_[i]) continue;
    const QuorlinPoint& point = quorlin_points[i];
    std::memcpy(record + point.offset, from + point.offset, point.width);
  }
}
