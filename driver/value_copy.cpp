#include "value_copy.h"

#include <algorithm>
#include <cstring>

bool copy_value_to_field(const UA_Variant& value, unsigned char* field, std::size_t width) {
  const UA_DataType* type = value.type;
  if (type == nullptr || !UA_Variant_isScalar(&value)) return false;
  // The kind, not the type: aliases such as Duration (a Double) count too.
  if (type->typeKind > UA_DATATYPEKIND_DOUBLE) return false;
  const std::size_t n = std::min<std::size_t>(width, type->memSize);
  std::memcpy(field, value.data, n);
  std::memset(field + n, 0, width - n);
  return true;
}
