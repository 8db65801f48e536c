#include "value_copy.h"

#include <algorithm>
#include <cstring>

uint8_t copied_type(const UA_Variant& value) {
  const UA_DataType* type = value.type;
  if (type == nullptr || !UA_Variant_isScalar(&value)) return 0;
  // The kind, not the type: aliases such as Duration (a Double) count too.
  // The kinds Boolean .. Double are the built-in ids 1 .. 11, less one.
  if (type->typeKind > UA_DATATYPEKIND_DOUBLE) return 0;
  return static_cast<uint8_t>(type->typeKind - UA_DATATYPEKIND_BOOLEAN + 1);
}

bool copy_value_to_field(const UA_Variant& value, unsigned char* field, std::size_t width) {
  if (copied_type(value) == 0) return false;
  const UA_DataType* type = value.type;
  const std::size_t n = std::min<std::size_t>(width, type->memSize);
  std::memcpy(field, value.data, n);
  std::memset(field + n, 0, width - n);
  return true;
}
