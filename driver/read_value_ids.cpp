#include "read_value_ids.h"

#include "point_table.h"

#include <mutex>

namespace {

// Zero-initialised storage and a constant-initialised flag: nothing runs at
// load time; the first caller fills the table, the others wait for it.
UA_ReadValueId table[kQuorlinPointCount];
std::once_flag built;

void build() {
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    UA_ReadValueId& item = table[i];
    UA_ReadValueId_init(&item);
    // Borrowed from the constant table; the library only reads it.
    item.nodeId = UA_NODEID_STRING(1, const_cast<char*>(quorlin_points[i].name));
    item.attributeId = UA_ATTRIBUTEID_VALUE;
  }
}

}  // namespace

const UA_ReadValueId* shared_read_items() {
  std::call_once(built, build);
  return table;
}
