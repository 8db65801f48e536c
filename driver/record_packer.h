#pragma once

// A round's working copy of the record: each read value packed into its
// field, and which points were written, so that only those reach the record.
#include "quorlin_data.h"

#include <open62541/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class WorkingRecord {
 public:
  WorkingRecord();

  // Packs a value that is not Bad into point `index`'s field and clears it;
  // says when it is no number. Returns the built-in type of the value
  // written (value_copy.h), 0 when the field was not written.
  uint8_t pack(std::size_t index, UA_StatusCode status, UA_Variant& value);
  bool written(std::size_t index) const { return written_[index]; }
  bool any_written() const;
  // Copies the written points into `record`, in table order, so a later
  // point sharing bytes with an earlier one wins.
  void copy_into(unsigned char* record) const;

 private:
  unsigned char* fields() { return reinterpret_cast<unsigned char*>(work_.get()); }

  std::unique_ptr<Quorlin_Data_t> work_;
  std::unique_ptr<bool[]> written_;
};
